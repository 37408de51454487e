#include "wizard/job_page.h"

#include <commctrl.h>

#include <cstdint>
#include <cstring>

#include "job/job_recovery.h"
#include "job/job_stage.h"
#include "job/update_job.h"
#include "support/info_text.h"
#include "support/messages.h"
#include "support/text_format.h"
#include "support/ui_text.h"
#include "support/updater_values.h"
#include "wizard/job_thread.h"
#include "wizard/wizard.h"

namespace {

const int ProgressRange = 10000;

// Filled by the free-space test before the job starts, or by the job before it ends with JobShortage.
DriveShortage Shortage;
// What the job is handed, parsed on its thread as it starts.
UpdateSection Section;

void ShowShortage(HWND dialog, const char* drive, uint64_t shortfall)
{
    SetInfoText(dialog, "ディスク容量が足りません。\r%s ドライブに %I64u バイトの空き容量が必要です", drive, shortfall);
    EnableControl(dialog, WizardBackButton, TRUE);
    EnableControl(dialog, WizardNextButton, FALSE);
    EnableControl(dialog, WizardCancelButton, TRUE);
    ShowControl(dialog, WizardProgressBar, SW_HIDE);
    ShowControl(dialog, WizardFileLabel, SW_HIDE);
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

// The job's thread.
int RunJob()
{
    ParseUpdateSection(InstallRecord.InstMode, &Section);
    return RunUpdateJob(Section, InstallRecord, &ThreadJobSink, &Shortage);
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
        ShowShortage(dialog, Shortage.drive, Shortage.bytes);
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
        FormatText(text, sizeof text, LostFormat, JobLostFile);
        ShowUpdaterError(text);
        break;
    case JobUnrecorded:
        FormatText(text, sizeof text, UnrecordedFormat, ModeWord);
        ShowUpdaterError(text);
        break;
    case JobBroken:
        break;
    }
    EndDialog(dialog, WizardInterrupted);
}

}  // namespace

int StartJobPage(HWND dialog)
{
    if (RequiredSpaceMissing(InstallRecord, &Shortage)) {
        ShowShortage(dialog, Shortage.drive, Shortage.bytes);
        return 0;
    }

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
