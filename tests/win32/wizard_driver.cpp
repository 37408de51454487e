#include "wizard_driver.h"

#include "support/globals.h"
#include "wizard/wizard.h"

namespace {

const std::vector<WizardScriptStep>* Script;
std::function<void(HWND)> BusyWatcher;
size_t NextStep;
int IdleTicks;
int InStep;

void CALLBACK ScriptTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = WizardWindow;
    if (dialog && Script && WizardBusy && BusyWatcher && !InStep) {
        InStep = 1;
        BusyWatcher(dialog);
        InStep = 0;
    }
    if (!dialog || !Script || WizardBusy || InStep)
        return;
    if (NextStep < Script->size()) {
        InStep = 1;
        (*Script)[NextStep++](dialog);
        InStep = 0;
        return;
    }
    // The script is over but the dialog stays: end it so that the test sees that instead of hanging.
    if (++IdleTicks > 40)
        EndDialog(dialog, WizardLeftOpen);
}

bool Shown(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    return control && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE);
}

bool Enabled(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    return control && IsWindowEnabled(control);
}

}  // namespace

INT_PTR RunWizard(int templateId, const std::vector<WizardScriptStep>& steps)
{
    Script = &steps;
    NextStep = 0;
    IdleTicks = 0;
    InStep = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 5, ScriptTimer);
    // Wide, as the updater opens it.
    INT_PTR result = OpenWizard(GetModuleHandleW(nullptr), templateId);
    KillTimer(nullptr, timer);
    Script = nullptr;
    BusyWatcher = nullptr;
    return result;
}

void WatchWhileBusy(const std::function<void(HWND)>& watcher)
{
    BusyWatcher = watcher;
}

void Click(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void Notify(HWND dialog, int id, int code)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)GetDlgItem(dialog, id));
}

std::string ControlText(HWND dialog, int id)
{
    char text[4096] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

WizardState ReadWizardState(HWND dialog)
{
    WizardState state;
    char caption[1024] = "";
    GetWindowTextA(dialog, caption, sizeof caption);
    state.caption = caption;
    state.info = ControlText(dialog, 1001);
    state.nextLabel = ControlText(dialog, WizardNextButton);
    state.nextEnabled = Enabled(dialog, WizardNextButton);
    state.backEnabled = Enabled(dialog, WizardBackButton);
    state.cancelEnabled = Enabled(dialog, WizardCancelButton);
    state.agreementShown = Shown(dialog, WizardAgreementBox);
    state.agreeShown = Shown(dialog, WizardAgreeRadio);
    state.disagreeShown = Shown(dialog, WizardDisagreeRadio);
    state.agreeChecked = GetDlgItem(dialog, WizardAgreeRadio) && IsDlgButtonChecked(dialog, WizardAgreeRadio);
    state.disagreeChecked =
        GetDlgItem(dialog, WizardDisagreeRadio) && IsDlgButtonChecked(dialog, WizardDisagreeRadio);
    state.nextFocused = GetFocus() == GetDlgItem(dialog, WizardNextButton);
    state.step = WizardStep;
    state.busy = WizardBusy;
    return state;
}
