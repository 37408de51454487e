#pragma once
#include <windows.h>

// The whole run from the program entry: returns the process exit code (1 after a finished update, else 0).
int RunUpdater(HINSTANCE instance);

// Frees the archive table and deletes our temporary UPDATE.INI; run on every way out.
void ShutdownUpdater();

// The installed-game checks and the wizard; returns the exit code.
int CheckInstallationAndRunWizard(HINSTANCE instance);
