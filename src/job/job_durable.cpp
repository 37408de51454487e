#include "job/job_durable.h"

#include <windows.h>

#include "support/grow_block.h"
#include "job/job_plan.h"
#include "job/journal_format.h"
#include "support/file_calls.h"

namespace {

struct FolderList {
    char (*paths)[MAX_PATH];
    size_t count, capacity;
};

int AddFolderOf(FolderList* list, const char* path)
{
    if (!path[0])
        return 1;
    char folder[MAX_PATH];
    FolderOfPath(path, folder);
    for (size_t i = 0; i < list->count; ++i)
        if (lstrcmpiA(list->paths[i], folder) == 0)
            return 1;
    if (!ReserveItems((void**)&list->paths, &list->capacity, list->count + 1, MAX_PATH))
        return 0;
    lstrcpyA(list->paths[list->count++], folder);
    return 1;
}

int FlushFolder(const char* folder)
{
    HANDLE handle = Files.CreateFileA(folder, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    int flushed = Files.FlushFileBuffers(handle) != 0;
    DWORD error = GetLastError();
    Files.CloseHandle(handle);
    return flushed || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

}  // namespace

int FlushJournalFolders(const unsigned char* bytes, size_t size)
{
    FolderList list{nullptr, 0, 0};
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    int ok = 1;
    while (ok && NextJournalRecord(&reader, &record)) {
        switch (record.type) {
        case JournalStaged:
        case JournalCreateFolder:
        case JournalAttributes:
        case JournalReplace:
        case JournalReplaceWide:
            ok = AddFolderOf(&list, record.path);
            break;
        default:
            break;
        }
    }
    for (size_t i = 0; ok && i < list.count; ++i)
        ok = FlushFolder(list.paths[i]);
    if (list.paths)
        GlobalFree(list.paths);
    return ok;
}
