#pragma once
// The work of the wizard's last page, all or nothing. The free-space test runs first, as the wizard's page shows
// it; then, on a thread of its own (job_thread.h), the job plans every file it will write or copy (the disc prompts
// included), weighs the whole job against each drive's free space, stages every file beside its target and
// commits. A failure or a confirmed Cancel before the commit ends leaves the game exactly as it was. It reports
// through the dialog: the info text, the progress bar and the name of the file being worked on, the buttons, the
// cursor, boxes owned by the wizard, and EndDialog(-1) on failure or cancellation.
#include <windows.h>

// The job for Next on the confirmation page. 1 while it runs on: its end arrives as a message, and
// HandleJobMessage then leaves the wizard on its next step or ends it. 0 when it ended at once (the shortage page).
int RunUpdateJob(HWND dialog);

int IsJobMessage(UINT message);
INT_PTR HandleJobMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Cancel (the button, Escape or the close box) while the job runs: a question, then the job stops and puts
// everything back. Nothing once the commit has begun.
void CancelRunningJob(HWND dialog);
