#include "support/system_dlls.h"

#include <commctrl.h>

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef HRESULT(WINAPI* CoInitializeFunction)(LPVOID);
typedef BOOL(WINAPI* InitCommonControlsExFunction)(const INITCOMMONCONTROLSEX*);

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

int SearchRestricted;

FARPROC SystemProcedure(const char* dll, const char* name)
{
    HMODULE module = GetModuleHandleA(dll);
    if (!module) {
        // With the search restricted, a bare name resolves in the system folder only; without that support,
        // name the system folder ourselves.
        if (SearchRestricted) {
            module = LoadLibraryA(dll);
        } else {
            char path[MAX_PATH];
            UINT length = GetSystemDirectoryA(path, MAX_PATH);
            if (length == 0 || length + 1 + lstrlenA(dll) + 1 > MAX_PATH)
                return nullptr;
            lstrcatA(path, "\\");
            lstrcatA(path, dll);
            module = LoadLibraryA(path);
        }
    }
    return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace

void RestrictDllSearch()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefault =
        kernel ? (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories")
               : nullptr;
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SearchRestricted = 1;
    else
        SetDllDirectoryA("");  // at least take the current folder out of the search
}

HRESULT CallCoInitialize()
{
    CoInitializeFunction coInitialize = (CoInitializeFunction)(void*)SystemProcedure("ole32.dll", "CoInitialize");
    return coInitialize ? coInitialize(nullptr) : E_FAIL;
}

int LoadCommonControls()
{
    InitCommonControlsExFunction initialise =
        (InitCommonControlsExFunction)(void*)SystemProcedure("comctl32.dll", "InitCommonControlsEx");
    if (!initialise)
        return 0;
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    return initialise(&controls) != 0;
}
