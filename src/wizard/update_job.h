#pragma once
// The work of the wizard's last page: the free-space test, the update items written from the archive, the copy
// items copied from the game's CD-ROM, and the finished state. It reports only through the dialog: the info text,
// the buttons, the cursor, message boxes, and EndDialog(-1) on failure or cancellation.
#include <windows.h>

void RunUpdateJob(HWND dialog);

// Finds the CD-ROM drive that holds disk `diskNo` (1..9) by its check file, prompting until the user gives up.
// 1 with the drive's letter and colon in `drive` (3 bytes); 0 when the user declined the prompt, or after the
// copy-failure box for `itemPath` when the check path cannot be formed.
int FindDiskDrive(HWND dialog, int diskNo, const char* itemPath, char* drive);
