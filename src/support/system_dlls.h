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

// GetObjectW and CreateFontIndirectW from gdi32.dll; 0 and null when it cannot be reached.
int CallGetObject(HGDIOBJ object, int size, void* buffer);
HFONT CallCreateFontIndirect(const LOGFONTW* font);
