#include "wizard/wizard.h"

#include "support/globals.h"
#include "support/info_text.h"
#include "support/system_dlls.h"
#include "support/ui_text.h"
#include "support/updater_values.h"
#include "wizard/job_page.h"
#include "wizard/job_thread.h"

int WizardStep;
int WizardBusy;

namespace {

void ShowAgreementControls(HWND dialog, int show)
{
    ShowControl(dialog, WizardAgreementBox, show);
    ShowControl(dialog, WizardAgreeRadio, show);
    ShowControl(dialog, WizardDisagreeRadio, show);
}

// Windows' dialog manager never sends the command of a disabled button, but Wine sends Cancel for Esc and the
// close box even then: a finished update must not turn into an interrupted one, nor a Next skip the agreement.
int ButtonEnabled(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    return button && IsWindowEnabled(button);
}

// 1 when the action runs on after it returns (the update job, on its own thread).
int RunStepAction(HWND dialog)
{
    switch (WizardStep) {
    case 0:
        ShowConfirmPage(dialog);
        return 0;
    case 1:
        return StartJobPage(dialog);
    case 2:
        EndDialog(dialog, WizardFinished);
        return 0;
    default:
        return 0;
    }
}

// Next and Back. While the job runs, and inside the message boxes' nested loops, WizardBusy drops these clicks, so
// no second job ever starts.
void NextOrBack(HWND dialog, int id)
{
    if (WizardBusy || !ButtonEnabled(dialog, id))
        return;
    WizardBusy = 1;
    SetInfoText(dialog, "");
    if (id == WizardBackButton)
        WizardStep -= 2;
    if (!RunStepAction(dialog))
        FinishWizardStep();
}

void Cancel(HWND dialog)
{
    if (JobThreadRunning()) {
        CancelRunningJob(dialog);
        return;
    }
    if (!WizardBusy && ButtonEnabled(dialog, WizardCancelButton))
        EndDialog(dialog, WizardInterrupted);
}

void SelectAgreement(HWND dialog, int agree)
{
    EnableControl(dialog, WizardNextButton, agree);
    CheckRadioButton(dialog, WizardAgreeRadio, WizardDisagreeRadio, agree ? WizardAgreeRadio : WizardDisagreeRadio);
}

}  // namespace

void EnableControl(HWND dialog, int id, BOOL enable)
{
    HWND control = GetDlgItem(dialog, id);
    if (control)
        EnableWindow(control, enable);
}

void ShowControl(HWND dialog, int id, int show)
{
    HWND control = GetDlgItem(dialog, id);
    if (control)
        ShowWindow(control, show);
}

void FinishWizardStep()
{
    WizardStep += 1;
    WizardBusy = 0;
}

INT_PTR OpenWizard(HINSTANCE instance, int templateId)
{
    // The progress bar's class must exist before the template is read.
    if (!LoadCommonControls())
        return -1;
    // A wide dialog: the templates' texts are UTF-16 and stay readable whatever the system's code page.
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), nullptr, WizardDialogProc, 0);
}

void InitWizard(HWND dialog)
{
    WizardWindow = dialog;
    WizardBusy = 0;
    WizardStep = 0;
    SetCaptionText(dialog, WindowCaption);
    UseJapaneseDialogFont(dialog);

    // The title text is a format without arguments: '%%' shows as '%', a conversion that wants one as written.
    if (AgreementTitleData)
        SetInfoText(dialog, AgreementTitleData);
    else
        SetInfoText(dialog, "「%s」の%sを開始します", ModeTextInstall == 1 ? UpdaterTitle : GameTitle, ModeWord);

    EnableControl(dialog, WizardBackButton, FALSE);
    EnableControl(dialog, WizardCancelButton, TRUE);
    if (AgreementTextData) {
        EnableControl(dialog, WizardNextButton, FALSE);
        SetControlText(dialog, WizardAgreementBox, AgreementTextData);
        EnableControl(dialog, WizardAgreementBox, TRUE);
        EnableControl(dialog, WizardAgreeRadio, TRUE);
        EnableControl(dialog, WizardDisagreeRadio, TRUE);
        CheckRadioButton(dialog, WizardAgreeRadio, WizardDisagreeRadio, WizardDisagreeRadio);
        ShowAgreementControls(dialog, SW_SHOW);
    } else {
        EnableControl(dialog, WizardNextButton, TRUE);
        ShowAgreementControls(dialog, SW_HIDE);
    }
}

void ShowConfirmPage(HWND dialog)
{
    SetInfoText(dialog, "%sを実行します", ModeWord);
    EnableControl(dialog, WizardBackButton, FALSE);
    EnableControl(dialog, WizardNextButton, TRUE);
    EnableControl(dialog, WizardCancelButton, TRUE);
    ShowAgreementControls(dialog, SW_HIDE);
    ShowControl(dialog, WizardProgressBar, SW_HIDE);
    ShowControl(dialog, WizardFileLabel, SW_HIDE);
}

INT_PTR CALLBACK WizardDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (IsJobMessage(message))
        return HandleJobMessage(dialog, message, wParam, lParam);
    switch (message) {
    case WM_INITDIALOG:
        InitWizard(dialog);
        return FALSE;  // no initial keyboard focus

    case WM_COMMAND:
        if (HIWORD(wParam) != 0)
            return FALSE;  // change notifications of the agreement box and the like
        switch (LOWORD(wParam)) {
        case WizardNextButton:
        case WizardBackButton:
            NextOrBack(dialog, LOWORD(wParam));
            break;
        case WizardCancelButton:
            Cancel(dialog);
            break;
        case WizardAgreeRadio:
            SelectAgreement(dialog, 1);
            break;
        case WizardDisagreeRadio:
            SelectAgreement(dialog, 0);
            break;
        default:
            break;
        }
        return FALSE;

    case WM_SETCURSOR:
        if (!WizardBusy)
            return FALSE;
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        // A dialog procedure's answer to the sender travels in DWLP_MSGRESULT.
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;

    case WM_DESTROY:
        // Boxes shown after the wizard has closed have no owner.
        if (WizardWindow == dialog)
            WizardWindow = nullptr;
        return FALSE;

    default:
        return FALSE;
    }
}
