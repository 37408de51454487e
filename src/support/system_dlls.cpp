#include "support/system_dlls.h"

#include <commctrl.h>

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef HRESULT(WINAPI* CoInitializeFunction)(LPVOID);
typedef BOOL(WINAPI* InitCommonControlsExFunction)(const INITCOMMONCONTROLSEX*);
typedef int(WINAPI* GetObjectFunction)(HGDIOBJ, int, LPVOID);
typedef HFONT(WINAPI* CreateFontIndirectFunction)(const LOGFONTW*);

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Loads a system DLL from the system folder, with its own dependencies searched there too, whatever the process's
// search order is. Without LOAD_LIBRARY_SEARCH_SYSTEM32 (Vista, or 7 without its update), the full path is the
// next best thing.
HMODULE LoadSystemDll(const char* dll)
{
    HMODULE module = LoadLibraryExA(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenA(dll) + 1 > MAX_PATH)
        return nullptr;
    lstrcatA(path, "\\");
    lstrcatA(path, dll);
    return LoadLibraryA(path);
}

FARPROC SystemProcedure(const char* dll, const char* name)
{
    HMODULE module = GetModuleHandleA(dll);
    if (!module)
        module = LoadSystemDll(dll);
    return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace

void RestrictDllSearch()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefault =
        kernel ? (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories")
               : nullptr;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
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

int CallGetObject(HGDIOBJ object, int size, void* buffer)
{
    GetObjectFunction getObject = (GetObjectFunction)(void*)SystemProcedure("gdi32.dll", "GetObjectW");
    return getObject ? getObject(object, size, buffer) : 0;
}

HFONT CallCreateFontIndirect(const LOGFONTW* font)
{
    CreateFontIndirectFunction create =
        (CreateFontIndirectFunction)(void*)SystemProcedure("gdi32.dll", "CreateFontIndirectW");
    return create ? create(font) : nullptr;
}
