#include <windows.h>

#include "run/startup.h"
#include "support/system_dlls.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Before anything can load a DLL: the updater runs elevated from a download folder.
    RestrictDllSearch();
    // Probing an empty CD-ROM drive must not raise the system's "no disk" box.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    return RunUpdater(instance);
}
