#include <windows.h>

#include <cstddef>

#include "run/startup.h"
#include "support/system_dlls.h"

// The linker's list of static constructors: a -1, the constructors, a null.
extern "C" void (*__CTOR_LIST__[])();

// The process starts here rather than in the C runtime's start-up, which the updater does not need (no arguments,
// no thread-local data, no exit handlers, no runtime relocations) and which would cost the download 9 KB.
// The constructors still run, in the order the runtime runs them.
extern "C" void UpdaterEntry()
{
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr)
        ++count;
    for (size_t k = count; k > 0; --k)
        __CTOR_LIST__[k]();
    // Before anything can load a DLL: the updater runs elevated from a download folder.
    RestrictDllSearch();
    // Probing an empty CD-ROM drive must not raise the system's "no disk" box.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    ExitProcess((UINT)RunUpdater(GetModuleHandleW(nullptr)));
}
