#pragma once
// Staging: every planned write goes to a new file beside its target (the same folder, so the commit is a rename on
// one volume), written in full, stamped, flushed to the disk and checked for its size, before anything of the
// player's is touched. The journal says which files and folders these are before the first one exists.
#include <cstdint>

#include "job/job_journal.h"
#include "job/job_plan.h"

extern const char WriteFailureText[];

enum StageResult {
    StageDone,
    StageFailed,   // after the boxes that belong to the failure (none when the player declined a disc prompt)
    StageStopped,  // the player confirmed Cancel
};

// Records the folders written into (with their times), the folders to create and the staged files in a new
// journal in the installation folder, then creates the folders and writes every file. The journal is left open
// whatever the result; on failure it is the rollback's to settle.
StageResult StagePlan(JobPlan* plan, JobJournal* journal);

// The box for an entry that does not decode, or (`sumWrong`) whose bytes do not match the payload's sum: with sums
// beside the payload either is a damaged download (said once per run); without, the entry is as good as missing.
void ShowEntryDamage(int sumWrong);

// The bytes the journal takes for the plan, once staged and committed (for weighing; never less than it takes).
uint64_t JournalBytesForPlan(const JobPlan* plan);
