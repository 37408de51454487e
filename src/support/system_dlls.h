#pragma once
#include <windows.h>

// The updater runs elevated from wherever it was downloaded, so a DLL planted beside it must never load. The
// load-time imports stay with kernel32, user32 and advapi32; everything else comes from the system folder at run
// time, after RestrictDllSearch.
void RestrictDllSearch();

// CoInitialize from ole32.dll; the result is not examined by the start-up.
HRESULT CallCoInitialize();

// The common controls from comctl32.dll (the wizard's progress bar); 0 when they cannot be had.
int LoadCommonControls();
