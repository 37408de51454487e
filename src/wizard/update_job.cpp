#include "wizard/update_job.h"

#include <commctrl.h>

#include <cstdint>
#include <cstring>

#include "run/updater_values.h"
#include "support/decimal.h"
#include "support/disk_space.h"
#include "support/info_text.h"
#include "support/messages.h"
#include "support/path_join.h"
#include "support/relative_path.h"
#include "support/settings_access.h"
#include "support/text_format.h"
#include "support/ui_text.h"
#include "wizard/disc_copy.h"
#include "wizard/job_commit.h"
#include "wizard/job_plan.h"
#include "wizard/job_recovery.h"
#include "wizard/job_settle.h"
#include "wizard/job_stage.h"
#include "wizard/job_thread.h"
#include "wizard/update_section.h"
#include "wizard/wizard.h"

namespace {

enum JobOutcome {
    JobFinished,
    JobNothingToDo,  // keys, but no item for this installation: finished all the same
    JobShortage,     // the whole job does not fit a drive: the shortage page, nothing touched
    JobBroken,       // the update has no items at all
    JobRolledBack,   // failed or cancelled; the game is as it was
    JobStuck,        // failed, and the files could not all be put back: the journal stays for the next start
    JobLost,         // failed, and a file's old version is gone (LostFile): the journal stays
    JobUnconfirmed,  // every file is the new one, but the journal's record of it may not be on the disk
};

const int ProgressRange = 10000;

// Set by the job's thread before it ends with JobShortage or JobLost.
char ShortageDrive[MAX_PATH];
uint64_t ShortageBytes;
char LostFile[MAX_PATH];

void ShowShortage(HWND dialog, const char* drive, uint64_t shortfall)
{
    SetInfoText(dialog, "ディスク容量が足りません。\r%s ドライブに %I64u バイトの空き容量が必要です", drive, shortfall);
    EnableControl(dialog, WizardBackButton, TRUE);
    EnableControl(dialog, WizardNextButton, FALSE);
    EnableControl(dialog, WizardCancelButton, TRUE);
    ShowControl(dialog, WizardProgressBar, SW_HIDE);
    ShowControl(dialog, WizardFileLabel, SW_HIDE);
}

// The RequiredDiskSpace test, before anything else: 1 to go on; 0 after the shortage page was set up. A drive that
// cannot be asked (an installation folder without a drive letter) skips the test.
int InstallDriveHasRoom(HWND dialog)
{
    char value[260];
    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    uint64_t required = ParseByteCount(value);
    if (required == 0)
        return 1;
    char drive[3];
    uint64_t available = 0, total = 0;
    if (!PathDriveText(InstallRecord.InstPath, drive) || !QueryDriveFreeSpace(drive, &available, &total, nullptr))
        return 1;
    if (available >= required)
        return 1;
    ShowShortage(dialog, drive, required - available);
    return 0;
}

void ShowFinished(HWND dialog)
{
    SetInfoText(dialog, "%sは完了しました", ModeWord);
    SetControlText(dialog, WizardNextButton, "完了");
    EnableControl(dialog, WizardNextButton, TRUE);
    EnableControl(dialog, WizardCancelButton, FALSE);
    SetFocus(GetDlgItem(dialog, WizardNextButton));
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    SendDlgItemMessageA(dialog, WizardProgressBar, PBM_SETPOS, ProgressRange, 0);
    SetControlText(dialog, WizardFileLabel, "");
}

void ShowProgress(HWND dialog)
{
    uint64_t done, total;
    char file[MAX_PATH], shown[MAX_PATH];
    ReadJobProgress(&done, &total, file, sizeof file);
    WPARAM position = total ? (WPARAM)((done < total ? done : total) * ProgressRange / total) : 0;
    SendDlgItemMessageA(dialog, WizardProgressBar, PBM_SETPOS, position, 0);
    GetDlgItemTextA(dialog, WizardFileLabel, shown, sizeof shown);
    if (strcmp(shown, file) != 0)
        SetControlText(dialog, WizardFileLabel, file);
}

// The job's own rollback: exactly what the next start would do with the journal had the process died here.
JobOutcome RollBack(JobJournal* journal)
{
    if (!journal->bytes)
        return JobRolledBack;  // nothing was recorded, so nothing was done
    SettleResult result = SettleJournal(journal->bytes, journal->size, journal->file, LostFile);
    if (result == SettleStuck || result == SettleLost) {
        CloseJobJournal(journal, 0);
        return result == SettleLost ? JobLost : JobStuck;
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
    SettleResult cleaned = SettleJournal(journal->bytes, journal->size, journal->file, LostFile);
    CloseJobJournal(journal, cleaned == SettledCleanedUp);
    return JobFinished;
}

JobOutcome PlanStageAndCommit(JobPlan* plan, int overwriteOnly)
{
    if (!PlanUpdateItems(plan, overwriteOnly) || !PlanCopyItems(plan) || JobStopRequested())
        return JobRolledBack;  // nothing touched yet
    if (!WeighPlan(plan, ShortageDrive, &ShortageBytes))
        return JobShortage;
    JobJournal journal;
    memset(&journal, 0, sizeof journal);
    journal.file = INVALID_HANDLE_VALUE;
    JobOutcome outcome;
    if (StagePlan(plan, &journal) != StageDone || !JobEnterCommit())
        outcome = RollBack(&journal);
    else
        outcome = Commit(plan, &journal);
    FreeJobJournal(&journal);
    return outcome;
}

// The job's thread.
int RunJob()
{
    char value[260];
    int overwriteOnly = ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseSignedDecimal(value);
    ParseUpdateSection();
    if (!UpdateKeysPresent && !CopyKeysPresent) {
        JobShowError("No 'UpdateFileXX' and 'CopyFileXX'");
        return JobBroken;
    }
    if (UpdateListCount == 0 && CopyListCount == 0) {
        JobShowError("アップデートする必要のあるファイルはありません");
        return JobNothingToDo;
    }
    JobPlan plan;
    memset(&plan, 0, sizeof plan);
    JobOutcome outcome = PlanStageAndCommit(&plan, overwriteOnly);
    FreeJobPlan(&plan);
    return outcome;
}

void FinishJob(HWND dialog, JobOutcome outcome)
{
    char text[1024];
    switch (outcome) {
    case JobFinished:
    case JobNothingToDo:
        ShowFinished(dialog);
        FinishWizardStep();
        return;
    case JobShortage:
        ShowShortage(dialog, ShortageDrive, ShortageBytes);
        FinishWizardStep();
        return;
    case JobRolledBack:
        FormatText(text, sizeof text, "ゲームのファイルは元のままです。もう一度%sを実行できます", ModeWord);
        ShowUpdaterNotice(text);
        break;
    case JobUnconfirmed:
        FormatText(text, sizeof text,
                   "ゲームのファイルはすべて新しいものに置き換えましたが、作業記録 ~UPDATE.JNL をディスクに書き込めたか"
                   "確かめられませんでした。次に%sを実行したときに、作業記録に従って後片付けをします",
                   ModeWord);
        ShowUpdaterNotice(text);
        ShowFinished(dialog);
        FinishWizardStep();
        return;
    case JobStuck:
        FormatText(text, sizeof text, StuckFormat, ModeWord);
        ShowUpdaterError(text);
        break;
    case JobLost:
        FormatText(text, sizeof text, LostFormat, LostFile);
        ShowUpdaterError(text);
        break;
    case JobBroken:
        break;
    }
    EndDialog(dialog, WizardInterrupted);
}

}  // namespace

int RunUpdateJob(HWND dialog)
{
    if (!InstallDriveHasRoom(dialog))
        return 0;

    SetInfoText(dialog, "%sを実行しています", ModeWord);
    EnableControl(dialog, WizardBackButton, FALSE);
    EnableControl(dialog, WizardNextButton, FALSE);
    EnableControl(dialog, WizardCancelButton, TRUE);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    SendDlgItemMessageA(dialog, WizardProgressBar, PBM_SETRANGE32, 0, ProgressRange);
    SendDlgItemMessageA(dialog, WizardProgressBar, PBM_SETPOS, 0, 0);
    SetControlText(dialog, WizardFileLabel, "");
    ShowControl(dialog, WizardProgressBar, SW_SHOW);
    ShowControl(dialog, WizardFileLabel, SW_SHOW);

    if (!StartJobThread(dialog, RunJob)) {
        ShowUpdaterError(WriteFailureText);
        EndDialog(dialog, WizardInterrupted);
        return 0;
    }
    return 1;
}

int IsJobMessage(UINT message)
{
    return message >= JobRequestMessage && message <= JobEndedMessage;
}

INT_PTR HandleJobMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case JobRequestMessage:
        CarryOutJobRequest(dialog, (JobRequest*)lParam);
        return TRUE;
    case JobProgressMessage:
        ShowProgress(dialog);
        return TRUE;
    case JobCommitMessage:
        EnableControl(dialog, WizardCancelButton, FALSE);
        return TRUE;
    case JobEndedMessage:
        JoinJobThread();
        ShowProgress(dialog);
        FinishJob(dialog, (JobOutcome)wParam);
        return TRUE;
    default:
        return FALSE;
    }
}

void CancelRunningJob(HWND dialog)
{
    HWND cancel = GetDlgItem(dialog, WizardCancelButton);
    if (!cancel || !IsWindowEnabled(cancel))
        return;
    char question[1024];
    FormatText(question, sizeof question, "%sを中止しますか？", ModeWord);
    if (AskToCancelJob(dialog, question))
        EnableControl(dialog, WizardCancelButton, FALSE);
}
