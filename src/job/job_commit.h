#pragma once
// The commit: once every file is staged, each target goes aside to its backup name and its staged file takes its
// place, and the attribute changes are made. The journal holds every step before the first one is taken; a step
// that fails leaves the rest to the rollback, which settles the journal.
#include "job/job_journal.h"
#include "job/job_plan.h"

// Records the commit (which targets exist now, their backups, the attribute changes) and makes it durable.
int BeginCommit(JobPlan* plan, JobJournal* journal);
int CommitStepCount(const JobPlan* plan);
// Step `index` of the commit: one write put in place, or one attribute change. 0 when it could not be taken.
int TakeCommitStep(JobPlan* plan, int index);
enum CommitEnd {
    CommitEnded,           // the update stands, and the journal says so on the disk
    CommitEndUnconfirmed,  // CommitDone was written but its flush failed: the files are the new ones, and the next
                           // start settles the journal by what reached the disk (both ways are whole)
    CommitEndFailed,       // nothing recorded: the rollback's to settle
};

// Every step was taken: the folders the files were renamed in reach the disk (job_durable.h), then CommitDone.
CommitEnd EndCommit(JobJournal* journal);
