#pragma once
// What the update job will do, decided in full before anything is touched: every file it writes (its target, where
// its bytes come from, its size and times), the folders it creates and the attributes it changes in place. The
// plan is weighed against the drives' free space, then staged beside the targets and committed.
#include <windows.h>

#include <cstdint>

#include "archive/archive_format.h"
#include "job/update_section.h"
#include "support/updater_values.h"

enum WriteSource {
    FromEntry,   // an archive entry
    FromDisc,    // a file on the game's disc
    FromTarget,  // the target's own bytes: a Data item written back
};

struct PlannedWrite {
    WriteSource source;
    char target[MAX_PATH];
    // The target's real name when the ANSI calls reach it only by its short name (a Japanese name on a system
    // with another code page): the new file must go in under this name. Empty otherwise.
    wchar_t longTarget[MAX_PATH];
    char shown[MAX_PATH];       // the name the progress shows: the path as the update gives it
    char sourcePath[MAX_PATH];  // FromDisc: the file relative to the disc's root
    const ArchiveEntry* entry;  // FromEntry
    uint64_t entryOffset;       // FromEntry: where its stored bytes begin in the archive image
    uint64_t size;              // what the staged file must hold
    uint64_t time;              // FromEntry: creation, last-access and last-write; FromDisc: last-write
    DWORD attributes;           // the staged file's
    int copyItem;               // FromDisc: the index in the section's copies; -1 otherwise
    int optional;               // a Data item written back: failing to stage or place it drops it silently
    int dropped;                // not staged: a later write has the same target, or an optional write failed
    // Filled while staging and committing.
    char staged[MAX_PATH];
    char backup[MAX_PATH];
    int hadOriginal;
};

struct PlannedFolder {
    char path[MAX_PATH];
};

struct PlannedAttributes {
    char path[MAX_PATH];
    DWORD oldAttributes, newAttributes;
};

struct JobPlan {
    // What the plan is made from, the caller's: they outlive the plan.
    const UpdateSection* section;
    const InstalledGame* game;
    PlannedWrite* writes;
    int writeCount;
    size_t writeCapacity;
    PlannedFolder* folders;  // parents before children
    int folderCount;
    size_t folderCapacity;
    PlannedAttributes* changes;
    int changeCount;
    size_t changeCapacity;
};

void FreeJobPlan(JobPlan* plan);

// Room for one more item at the end of an array of the plan (zeroed); null when memory runs out.
PlannedWrite* AddPlannedWrite(JobPlan* plan);
int PlanFolder(JobPlan* plan, const char* path);
int PlanAttributes(JobPlan* plan, const char* path, DWORD oldAttributes, DWORD newAttributes);

// The folder `path` is in, without its closing separator (except a drive's root), into `folder` (MAX_PATH bytes).
void FolderOfPath(const char* path, char* folder);

// What is at `path` once the writes and folders planned so far are done.
struct PlannedTarget {
    int exists, folder, error;  // error: its attributes cannot be read for another reason than its absence
    DWORD attributes;
    uint64_t lastWrite;
    PlannedWrite* write;  // the planned write that puts it there, if one does
};
void LookAtTarget(JobPlan* plan, const char* path, PlannedTarget* target);
// 1 when `path` is a folder now or once the planned folders exist.
int FolderWillExist(const JobPlan* plan, const char* path);
// Marks earlier writes to the same target as dropped: the last write of a target is the one that counts.
void DropEarlierWrites(JobPlan* plan, const PlannedWrite* write);

// Every update item of the section, as the job applies it: 1, or 0 after the boxes that belong to the failure.
int PlanUpdateItems(JobPlan* plan);

// Bytes the files still to be written take, per volume, against the volumes' free space. 1 when all fit; 0 with
// the first volume that is short (the installation's first) in `drive` (MAX_PATH bytes: "C:", or the folder a disk
// is mounted on) and by how much.
int WeighPlan(const JobPlan* plan, char* drive, uint64_t* shortfall);
