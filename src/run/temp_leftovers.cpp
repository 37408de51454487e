#include "run/temp_leftovers.h"

#include <windows.h>

#include <cstring>

#include "support/owned.h"

namespace {

int IsUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int NamedAsOurs(const char* name)
{
    if (strlen(name) != 11 || memcmp(name, "UPD", 3) != 0 || lstrcmpiA(name + 7, ".tmp") != 0)
        return 0;
    for (int i = 3; i < 7; ++i)
        if (!IsUpperHex(name[i]))
            return 0;
    return 1;
}

// Whether the open file holds exactly `bytes`.
int Holds(HANDLE file, const unsigned char* bytes, size_t size)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        info.nNumberOfLinks != 1 || info.nFileSizeHigh != 0 || info.nFileSizeLow != size)
        return 0;
    GlobalBlock read;
    DWORD got = 0;
    return read.Allocate(size) && ReadFile(file, read.bytes, (DWORD)size, &got, nullptr) && got == size &&
           memcmp(read.bytes, bytes, size) == 0;
}

void RemoveIfOurs(const char* path, const unsigned char* bytes, size_t size)
{
    FileHandle file(CreateFileA(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE || !Holds(file.handle, bytes, size))
        return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.handle, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

void RemoveEarlierUpdateIniFiles(const char* folder, const unsigned char* bytes, size_t size)
{
    char pattern[MAX_PATH + 16];
    if (lstrlenA(folder) > MAX_PATH - 14 || size == 0 || size > 0xFFFFFFFFu)
        return;
    lstrcpyA(pattern, folder);
    lstrcatA(pattern, "UPD????.tmp");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!NamedAsOurs(found.cFileName) || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        char path[MAX_PATH + 16];
        lstrcpyA(path, folder);
        lstrcatA(path, found.cFileName);
        RemoveIfOurs(path, bytes, size);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}
