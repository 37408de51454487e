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

extern int WizardStep;  // Next actions taken; chooses what the next Next does
extern int WizardBusy;  // 1 while a Next or Back action (the whole update job included) runs

// Set when the update job reaches its finished state. A result of 0 means a finished update only with this set.
extern int UpdateFinished;

INT_PTR CALLBACK WizardDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

void InitWizard(HWND dialog);
void ShowConfirmPage(HWND dialog);
