#pragma once
// Copies from the game's CD-ROM, done by the job itself (not the shell): every file a copy item names (a file, a
// folder with everything in it, or the matches of a wildcard) becomes a planned write into the installation folder
// with its size, so it is weighed, staged, checked byte count by byte count and committed like every other write.
#include "job/job_plan.h"

// Finds the CD-ROM drive that holds disk `diskNo` (1..9) by its check file, asking the player to insert it until
// it is there or the player gives up. 1 with the drive's letter and colon in `drive` (3 bytes); 0 when the player
// declined, or after the copy-failure box for `itemPath` when the check path cannot be formed.
int FindDiskDrive(int diskNo, const char* itemPath, char* drive);

void ShowCopyFailure(const char* itemPath);

// Every copy item of the plan's section, in order, as planned writes and folders. 1, or 0 after the copy-failure
// box (or when the player declined to insert a disc).
int PlanCopyItems(JobPlan* plan);

// The disc copy item `index` reads: its own disk number, or for an item without one, that of the nearest item
// before it that has one (0 when there is none).
int DiscOfCopyItem(const UpdateSection& section, int index);

// The drive to read copy item `index` from while staging, into `drive` (3 bytes): its disc is looked for again,
// since the player may have swapped discs after the job was planned. 0 when the player declined to insert it.
int DiscDriveForStaging(const UpdateSection& section, int index, char* drive);
