#include "job/job_settle.h"

#include <windows.h>

#include "job/journal_format.h"
#include "support/grow_block.h"

namespace {

// The journal's paths are ANSI, in the system's code page; a target reached only by its short name also has its
// real name in UTF-16. Everything here works on UTF-16 names, so both reach the same files.
struct WidePath {
    wchar_t text[MAX_PATH];
    explicit WidePath(const char* ansi)
    {
        if (!MultiByteToWideChar(CP_ACP, 0, ansi, -1, text, MAX_PATH))
            text[0] = L'\0';
    }
    explicit WidePath(const uint16_t* units)
    {
        int i = 0;
        for (; i < MAX_PATH - 1 && units[i]; ++i)
            text[i] = (wchar_t)units[i];
        text[i] = L'\0';
    }
};

int Exists(const WidePath& path)
{
    if (GetFileAttributesW(path.text) != INVALID_FILE_ATTRIBUTES)
        return 1;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// A file of the job's (a new file that went in, a staged file, a backup); a read-only mark would stop the deletion.
int RemoveFile(const WidePath& path)
{
    if (!Exists(path))
        return 1;
    SetFileAttributesW(path.text, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.text) != 0 || !Exists(path);
}

// The records, walked from the last one back: undoing goes in the reverse order of doing.
struct RecordList {
    size_t* offsets;
    size_t capacity;
    int count;
    int commitDone;
    int steps;  // records that stand for something done to the disk
};

int ListRecords(const unsigned char* bytes, size_t size, RecordList* list)
{
    list->offsets = nullptr;
    list->capacity = 0;
    list->count = list->commitDone = list->steps = 0;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    for (size_t at = reader.at; NextJournalRecord(&reader, &record); at = reader.at) {
        if (!ReserveItems((void**)&list->offsets, &list->capacity, (size_t)list->count + 1, sizeof(size_t)))
            return 0;
        list->offsets[list->count++] = at;
        list->commitDone |= record.type == JournalCommitDone;
        list->steps += record.type != JournalFolderTime && record.type != JournalCommitBegins;
    }
    return 1;
}

void RecordAt(const unsigned char* bytes, size_t size, size_t offset, JournalRecord* record)
{
    JournalReader reader;
    StartJournalReader(&reader, bytes, size);
    reader.at = offset;
    NextJournalRecord(&reader, record);
}

// One file of the commit back as it was. Whether each move happened is read from the disk: the backup exists once
// the target went aside, and the staged file is gone once it went in.
int UndoReplace(const JournalRecord& r)
{
    WidePath target = r.type == JournalReplaceWide ? WidePath(r.wideTarget) : WidePath(r.path);
    WidePath staged(r.staged), backup(r.backup);
    int stagedThere = Exists(staged);
    if (!r.hadOriginal)
        return stagedThere || RemoveFile(target);
    if (!Exists(backup))
        return 1;  // the target never went aside, or a settling before this one already put it back
    if (!stagedThere && !RemoveFile(target))
        return 0;
    return MoveFileExW(backup.text, target.text, 0) != 0;
}

int UndoAttributes(const JournalRecord& r)
{
    WidePath path(r.path);
    DWORD now = GetFileAttributesW(path.text);
    if (now == INVALID_FILE_ATTRIBUTES || now == r.oldAttributes)
        return 1;
    // The folder bit is read, never set.
    DWORD attributes = r.oldAttributes & ~(DWORD)FILE_ATTRIBUTE_DIRECTORY;
    return SetFileAttributesW(path.text, attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

SettleResult RollBack(const unsigned char* bytes, size_t size, const RecordList& list)
{
    int stuck = 0;
    JournalRecord record;
    // Files first, then what they sat in: a created folder can only go once the files in it have.
    const JournalRecordType order[] = {JournalReplace, JournalAttributes, JournalStaged, JournalCreateFolder};
    for (JournalRecordType type : order) {
        for (int i = list.count - 1; i >= 0; --i) {
            RecordAt(bytes, size, list.offsets[i], &record);
            // The two forms of a commit step are undone together, in the order they were taken.
            JournalRecordType kind = record.type == JournalReplaceWide ? JournalReplace : record.type;
            if (kind != type)
                continue;
            switch (type) {
            case JournalReplace:
                stuck |= !UndoReplace(record);
                break;
            case JournalAttributes:
                stuck |= !UndoAttributes(record);
                break;
            case JournalStaged:
                stuck |= !RemoveFile(WidePath(record.path));
                break;
            default:
                // A folder something else has put a file into since stays; nothing of the player's is lost.
                RemoveDirectoryW(WidePath(record.path).text);
                break;
            }
        }
    }
    return stuck ? SettleStuck : SettledRolledBack;
}

SettleResult CleanUp(const unsigned char* bytes, size_t size, const RecordList& list)
{
    int stuck = 0;
    JournalRecord record;
    for (int i = 0; i < list.count; ++i) {
        RecordAt(bytes, size, list.offsets[i], &record);
        if ((record.type == JournalReplace || record.type == JournalReplaceWide) && record.hadOriginal)
            stuck |= !RemoveFile(WidePath(record.backup));
        else if (record.type == JournalStaged)
            stuck |= !RemoveFile(WidePath(record.path));  // every staged file went in; one still here is a leftover
    }
    return stuck ? SettleStuck : SettledCleanedUp;
}

}  // namespace

SettleResult SettleJournal(const unsigned char* bytes, size_t size)
{
    RecordList list;
    if (!ListRecords(bytes, size, &list)) {
        if (list.offsets)
            GlobalFree(list.offsets);
        return SettleStuck;  // no memory: try again at the next start
    }
    SettleResult result = SettledNothing;
    if (list.steps)
        result = list.commitDone ? CleanUp(bytes, size, list) : RollBack(bytes, size, list);
    if (list.offsets)
        GlobalFree(list.offsets);
    return result;
}

void RestoreFolderTimes(const unsigned char* bytes, size_t size)
{
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    while (NextJournalRecord(&reader, &record)) {
        if (record.type != JournalFolderTime)
            continue;
        HANDLE folder = CreateFileW(WidePath(record.path).text, FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder == INVALID_HANDLE_VALUE)
            continue;
        FILETIME time;
        time.dwLowDateTime = (DWORD)record.time;
        time.dwHighDateTime = (DWORD)(record.time >> 32);
        SetFileTime(folder, nullptr, nullptr, &time);
        CloseHandle(folder);
    }
}
