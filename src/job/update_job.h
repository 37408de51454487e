#pragma once
// The update job, all or nothing: it plans every file it will write or copy (the disc prompts included), weighs
// the whole job against each drive's free space, stages every file beside its target and commits. A failure or a
// confirmed Cancel before the commit ends leaves the game exactly as it was. It is handed the parsed "UPDATE" section
// of UPDATE.INI (job/update_section.h) and the installed game's record; it tells, asks and learns of a Cancel
// through the caller's sink, and ends with one outcome.
#include <cstdint>

#include "job/job_sink.h"
#include "job/update_section.h"
#include "support/updater_values.h"

enum JobOutcome {
    JobFinished,
    JobNothingToDo,  // keys, but no item for this installation: finished all the same
    JobShortage,     // the whole job does not fit a drive: nothing touched
    JobBroken,       // the update has no items at all
    JobRolledBack,   // failed or cancelled; the game is as it was
    JobStuck,        // failed, and the files could not all be put back: the journal stays for the next start
    JobLost,         // failed, and a file's old version is gone (JobLostFile): the journal stays
    JobUnrecorded,   // failed; every file is back, but the journal could not record it: the journal stays
    JobUnconfirmed,  // every file is the new one, but the journal's record of it may not be on the disk
};

// A disk the job does not fit: "C:", or the folder it is mounted on, and the bytes missing there.
struct DriveShortage {
    char drive[260];
    uint64_t bytes;
};

// Set when the job ends with JobLost: the file whose old version could not be put back.
extern char JobLostFile[260];

// The RequiredDiskSpace test, before the job starts: 1 with `shortage` filled when the drive of `game`'s
// installation has less room than the update asks for. A drive that cannot be asked (an installation folder without
// a drive letter) passes.
int RequiredSpaceMissing(const InstalledGame& game, DriveShortage* shortage);

// The whole job on the calling thread, reporting to `sink` until it returns; `shortage` is filled for JobShortage.
JobOutcome RunUpdateJob(const UpdateSection& section, const InstalledGame& game, const JobSink* sink,
                        DriveShortage* shortage);
