#pragma once
#include <windows.h>

#include <cstdint>

// Process-wide values that one step fills and later steps read; the process has one thread.
extern int MissingKeySilent;          // 0: a missing key is reported in a box; 1: silent
extern char SetupIniPath[260];        // the installed game's SETUP.INI
extern char UpdateIniPath[260];       // our UPDATE.INI in the temporary folder
// UPDATE.INI as the payload holds it. Every value is read from this copy, never from the file on disk, which
// another process of the user could rewrite while we run elevated; null until the start-up has loaded it.
extern const char* UpdateIniText;
extern uint32_t UpdateIniSize;
extern char WindowCaption[1024];      // caption of ShowUpdaterError boxes; "UPDATE" until composed
extern HWND WizardWindow;             // owner of every error box while the wizard is open
