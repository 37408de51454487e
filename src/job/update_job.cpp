#include "job/update_job.h"

#include <cstdint>
#include <cstring>

#include "job/disc_copy.h"
#include "job/job_commit.h"
#include "job/job_links.h"
#include "job/job_plan.h"
#include "job/job_settle.h"
#include "job/job_stage.h"
#include "job/update_section.h"
#include "support/decimal.h"
#include "support/disk_space.h"
#include "support/path_join.h"
#include "support/settings_access.h"

char JobLostFile[260];

namespace {

// The job's own rollback: exactly what the next start would do with the journal had the process died here.
JobOutcome RollBack(JobJournal* journal)
{
    if (!journal->bytes)
        return JobRolledBack;  // nothing was recorded, so nothing was done
    SettleResult result = SettleJournal(journal->bytes, journal->size, journal->file, JobLostFile);
    if (result == SettleStuck || result == SettleLost || result == SettleUnrecorded) {
        CloseJobJournal(journal, 0);
        return result == SettleLost ? JobLost : result == SettleUnrecorded ? JobUnrecorded : JobStuck;
    }
    CloseJobJournal(journal, 1);
    if (result == SettledCleanedUp)
        return JobFinished;  // the journal already held CommitDone: the update stands
    RestoreFolderTimes(journal->bytes, journal->size);
    return JobRolledBack;
}

JobOutcome Commit(JobPlan* plan, JobJournal* journal)
{
    int committed = BeginCommit(plan, journal);
    for (int i = 0; committed && i < CommitStepCount(plan); ++i)
        committed = TakeCommitStep(plan, i);
    CommitEnd end = committed ? EndCommit(journal) : CommitEndFailed;
    if (end == CommitEndFailed) {
        JobShowError(WriteFailureText);
        return RollBack(journal);
    }
    if (end == CommitEndUnconfirmed) {
        CloseJobJournal(journal, 0);  // the backups stay until the next start reads what reached the disk
        return JobUnconfirmed;
    }
    // The update stands. A backup that cannot be removed yet (a scanner holding it) stays listed in the journal,
    // and the next start removes it.
    SettleResult cleaned = SettleJournal(journal->bytes, journal->size, journal->file, JobLostFile);
    CloseJobJournal(journal, cleaned == SettledCleanedUp);
    return JobFinished;
}

JobOutcome PlanStageAndCommit(JobPlan* plan, DriveShortage* shortage)
{
    if (!PlanUpdateItems(plan) || !PlanCopyItems(plan) || JobStopRequested())
        return JobRolledBack;  // nothing touched yet
    if (!WeighPlan(plan, shortage->drive, &shortage->bytes))
        return JobShortage;
    JobJournal journal;
    memset(&journal, 0, sizeof journal);
    journal.file = INVALID_HANDLE_VALUE;
    JobOutcome outcome;
    if (StagePlan(plan, &journal) != StageDone || !JobEnterCommit())
        outcome = RollBack(&journal);
    else
        outcome = Commit(plan, &journal);
    // A link put in while the job ran, met by a step after the checks before staging: said after the rollback.
    if (LinkFoundPath[0] && journal.bytes && outcome != JobFinished && outcome != JobUnconfirmed)
        ShowLinkFound();
    FreeJobJournal(&journal);
    return outcome;
}

JobOutcome RunSteps(const UpdateSection& section, const InstalledGame& game, DriveShortage* shortage)
{
    if (!section.updateKeysPresent && !section.copyKeysPresent) {
        JobShowError("No 'UpdateFileXX' and 'CopyFileXX'");
        return JobBroken;
    }
    if (section.itemCount == 0 && section.copyCount == 0) {
        JobShowError("アップデートする必要のあるファイルはありません");
        return JobNothingToDo;
    }
    JobPlan plan;
    memset(&plan, 0, sizeof plan);
    plan.section = &section;
    plan.game = &game;
    JobOutcome outcome = PlanStageAndCommit(&plan, shortage);
    FreeJobPlan(&plan);
    return outcome;
}

}  // namespace

int RequiredSpaceMissing(const InstalledGame& game, DriveShortage* shortage)
{
    char value[260];
    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 0;
    uint64_t required = ParseByteCount(value);
    if (required == 0)
        return 0;
    uint64_t available = 0, total = 0;
    if (!PathDriveText(game.InstPath, shortage->drive) ||
        !QueryDriveFreeSpace(shortage->drive, &available, &total, nullptr))
        return 0;
    if (available >= required)
        return 0;
    shortage->bytes = required - available;
    return 1;
}

JobOutcome RunUpdateJob(const UpdateSection& section, const InstalledGame& game, const JobSink* sink,
                        DriveShortage* shortage)
{
    UseJobSink(sink);
    JobOutcome outcome = RunSteps(section, game, shortage);
    UseJobSink(nullptr);
    return outcome;
}
