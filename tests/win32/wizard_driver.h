#pragma once
// Runs the real wizard (the linked templates and WizardDialogProc) modally in the test's own thread and plays a
// script against it from a thread timer, the way a user's clicks reach it.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A script step gets the wizard window. Steps run one per timer tick and only while no Next or Back action is
// running, so a click posted by one step has been handled completely (the whole update job, its message boxes
// included) before the next step looks at the dialog.
typedef std::function<void(HWND)> WizardScriptStep;

// The value the driver ends a dialog with when the script ran out and the dialog is still open.
const INT_PTR WizardLeftOpen = 4242;

INT_PTR RunWizard(int templateId, const std::vector<WizardScriptStep>& steps);

// Called on every tick of the script's timer while a Next or Back action runs (the update job on its thread),
// until the next RunWizard; the wizard window is the argument. Ticks also come inside message boxes' loops.
void WatchWhileBusy(const std::function<void(HWND)>& watcher);

// What a click sends: WM_COMMAND with the id and BN_CLICKED from the button's window (posted).
void Click(HWND dialog, int id);
// Any other notification code from the control `id`.
void Notify(HWND dialog, int id, int code);

struct WizardState {
    std::string caption;
    std::string info;
    std::string nextLabel;
    bool nextEnabled, backEnabled, cancelEnabled;
    bool agreementShown, agreeShown, disagreeShown;  // WS_VISIBLE of 1000, 1002, 1003 (false when missing)
    bool agreeChecked, disagreeChecked;
    bool nextFocused;
    int step;
    int busy;
};
WizardState ReadWizardState(HWND dialog);

std::string ControlText(HWND dialog, int id);
