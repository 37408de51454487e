#pragma once
// The update wizard: one modal dialog whose Next button walks the first page, the confirmation page and the update
// job, then ends the dialog with 0; Cancel ends it with -1.
#include <windows.h>

// Template ids: 100 without an agreement text, 101 with the agreement box and its radio buttons.
const int WizardTemplatePlain = 100;
const int WizardTemplateAgreement = 101;

// Control ids of both templates.
const int WizardNextButton = IDOK;        // "次へ", relabelled "完了" by the update job
const int WizardCancelButton = IDCANCEL;  // "中止"
const int WizardBackButton = 4;           // "戻る"
const int WizardAgreementBox = 1000;
const int WizardAgreeRadio = 1002;
const int WizardDisagreeRadio = 1003;
const int WizardProgressBar = 1004;  // hidden until the job runs: bytes done of the job's bytes
const int WizardFileLabel = 1005;    // hidden until the job runs: the file being worked on

// What the dialog ends with: the finished wizard, or a cancelled or failed one. The finished value is the process
// exit code.
const INT_PTR WizardFinished = 1;
const INT_PTR WizardInterrupted = -1;

extern int WizardStep;  // Next actions taken; chooses what the next Next does
extern int WizardBusy;  // 1 while a Next or Back action (the whole update job included) runs

// The wizard with template `templateId` as a modal dialog; its end value (WizardFinished, WizardInterrupted, or
// -1 when it cannot be created).
INT_PTR OpenWizard(HINSTANCE instance, int templateId);

INT_PTR CALLBACK WizardDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The end of a Next or Back action that ran on after its command (the update job): the step counter moves on and
// the wizard takes clicks again.
void FinishWizardStep();

// A template without the control gives no handle; the calls then do nothing.
void EnableControl(HWND dialog, int id, BOOL enable);
void ShowControl(HWND dialog, int id, int show);

void InitWizard(HWND dialog);
void ShowConfirmPage(HWND dialog);
