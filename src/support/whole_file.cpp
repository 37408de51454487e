#include "whole_file.h"

#include <cstring>

#include "path_join.h"

void* LoadWholeFile(const char* path, DWORD* size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    void* block = nullptr;
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (!(low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) && high == 0) {
        // One extra byte so that an empty file still gets a block the caller can release.
        block = GlobalAlloc(GMEM_FIXED, low ? low : 1);
        if (block) {
            DWORD read = 0;
            if (!ReadFile(file, block, low, &read, nullptr) || read != low) {
                GlobalFree(block);
                block = nullptr;
            } else if (size) {
                *size = low;
            }
        }
    }
    CloseHandle(file);
    return block;
}

// CREATE_NEW makes the name ours alone, even beside another copy of the updater writing the same folder; the name
// shrinks so any destination that fits MAX_PATH works.
HANDLE CreateTemporaryBeside(const char* path, char* tempPath)
{
    static unsigned counter;
    const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    size_t folder = FolderPartLength(path);
    size_t room = MAX_PATH - 1 - folder;
    if (room == 0 || folder >= MAX_PATH - 1)
        return INVALID_HANDLE_VALUE;
    size_t nameLength = room < 12 ? room : 12;  // "~" and up to 11 base-36 digits
    DWORD seed = GetCurrentProcessId();
    for (int attempt = 0; attempt < 64; ++attempt) {
        unsigned long long value = ((unsigned long long)seed << 16) ^ (counter++ * 2654435761u) ^ GetTickCount();
        memcpy(tempPath, path, folder);
        char* name = tempPath + folder;
        size_t i = 0;
        if (nameLength > 1)
            name[i++] = '~';
        for (; i < nameLength; ++i) {
            name[i] = alphabet[value % 36];
            value /= 36;
        }
        name[nameLength] = '\0';
        HANDLE file = CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

int CommitTemporary(HANDLE file, const char* tempPath, const char* path, const FILETIME* time)
{
    int ok = 1;
    if (time)
        ok = SetFileTime(file, time, time, time) != 0;
    if (!CloseHandle(file))
        ok = 0;
    if (ok)
        ok = MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok)
        DeleteFileA(tempPath);
    return ok;
}

void DiscardTemporary(HANDLE file, const char* tempPath)
{
    CloseHandle(file);
    DeleteFileA(tempPath);
}

int SaveWholeFile(const char* path, const void* data, DWORD count, const FILETIME* time)
{
    // Replacing would succeed over a read-only file under Wine but not on Windows: refuse it on both.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return 0;

    char tempPath[MAX_PATH];
    HANDLE file = CreateTemporaryBeside(path, tempPath);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    if (!WriteFile(file, data, count, &written, nullptr) || written != count) {
        DiscardTemporary(file, tempPath);
        return 0;
    }
    return CommitTemporary(file, tempPath, path, time);
}
