/* A program with the updater's load-time imports and nothing else: what it finds loaded when main runs is what the
   loader brings in before any code of ours could restrict the DLL search.
   import_twin OUTPUT_FILE [DLL]: writes the loaded modules' names, one a line; then loads DLL the plain way. */
#include <windows.h>
#include <tlhelp32.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    HANDLE out = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE)
        return 3;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    if (snapshot != INVALID_HANDLE_VALUE && Module32First(snapshot, &module)) {
        do {
            DWORD written;
            WriteFile(out, module.szModule, lstrlenA(module.szModule), &written, NULL);
            WriteFile(out, "\n", 1, &written, NULL);
        } while (Module32Next(snapshot, &module));
    }
    CloseHandle(out);
    if (argc > 2 && !LoadLibraryA(argv[2]))
        return 4;
    /* Referenced so that user32 and advapi32 stay in the import table, as they are in the updater's. */
    if (argc > 99) {
        MessageBeep(0);
        RegCloseKey(NULL);
    }
    return 0;
}
