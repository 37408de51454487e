#include "job/job_settle.h"

#include <windows.h>

#include "job/journal_format.h"
#include "support/grow_block.h"
#include <cstring>

#include "job/job_durable.h"
#include "job/job_links.h"
#include "job/job_retry.h"
#include "support/file_calls.h"

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
    if (Files.GetFileAttributesW(path.text) != INVALID_FILE_ATTRIBUTES)
        return 1;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// A file of the job's (a new file that went in, a staged file, a backup); a read-only mark would stop the deletion.
int RemoveFile(const WidePath& path)
{
    DWORD attributes = Files.GetFileAttributesW(path.text);
    if (attributes == INVALID_FILE_ATTRIBUTES && !Exists(path))
        return 1;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !SetJobAttributes(path.text, FILE_ATTRIBUTE_NORMAL))
        return 0;
    return DeleteHeldFile(path.text) || (GetLastError() != LinkFoundError && !Exists(path));
}

// The records, walked from the last one back: undoing goes in the reverse order of doing.
struct RecordList {
    size_t* offsets;
    size_t capacity;
    int count;
    int commitDone;
    int undone;  // a rollback already put every target back
    int steps;   // records that stand for something done to the disk
    size_t end;  // where the last whole record ends
};

int ListRecords(const unsigned char* bytes, size_t size, RecordList* list)
{
    list->offsets = nullptr;
    list->capacity = 0;
    list->count = list->commitDone = list->undone = list->steps = 0;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    list->end = reader.at;
    for (size_t at = reader.at; NextJournalRecord(&reader, &record); at = reader.at) {
        if (!ReserveItems((void**)&list->offsets, &list->capacity, (size_t)list->count + 1, sizeof(size_t)))
            return 0;
        list->offsets[list->count++] = at;
        list->end = reader.at;
        list->commitDone |= record.type == JournalCommitDone;
        list->undone |= record.type == JournalCommitUndone;
        list->steps += record.type != JournalFolderTime && record.type != JournalCommitBegins &&
                       record.type != JournalJob;
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

// One file of the commit back as it was. How far it went is read from the disk (the commit moves the target to its
// backup, then the staged file to the target):
//   staged file there, no backup    nothing moved, or a settling before this one put it back (the target is
//                                   there; with neither it, the backup went after the first move: UndoLost)
//   staged file there, backup there the target went aside only
//   no staged file, backup there    both moves were made
//   neither                         the backup is gone: the old file cannot come back (UndoLost)
// The moves are taken back in reverse, the new file to its staged name first, so that a settling cut short anywhere
// leaves one of the first three.
enum UndoResult { UndoDone, UndoStuck, UndoLost };

UndoResult UndoReplace(const JournalRecord& r)
{
    WidePath target = r.type == JournalReplaceWide ? WidePath(r.wideTarget) : WidePath(r.path);
    WidePath staged(r.staged), backup(r.backup);
    if (Exists(staged)) {
        if (r.hadOriginal && !Exists(backup) && !Exists(target))
            return UndoLost;  // the staged file is the only version left: it stays
        return !r.hadOriginal || !Exists(backup) || MoveHeldFile(backup.text, target.text) ? UndoDone : UndoStuck;
    }
    if (r.hadOriginal && !Exists(backup))
        return UndoLost;
    if (Exists(target) && !MoveHeldFile(target.text, staged.text))
        return UndoStuck;
    return !r.hadOriginal || MoveHeldFile(backup.text, target.text) ? UndoDone : UndoStuck;
}

// The record that every target is back, after the end of the last whole record (a torn one would hide it).
int RecordUndone(HANDLE journal, size_t end)
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = JournalCommitUndone;
    unsigned char encoded[JournalRecordMaxSize];
    size_t size = EncodeJournalRecord(record, encoded);
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)end;
    DWORD written = 0;
    return journal != INVALID_HANDLE_VALUE && journal && Files.SetFilePointerEx(journal, at, nullptr, FILE_BEGIN) &&
           Files.SetEndOfFile(journal) && Files.WriteFile(journal, encoded, (DWORD)size, &written, nullptr) &&
           written == size && Files.FlushFileBuffers(journal);
}

int UndoAttributes(const JournalRecord& r)
{
    WidePath path(r.path);
    DWORD now = Files.GetFileAttributesW(path.text);
    if (now == INVALID_FILE_ATTRIBUTES || now == r.oldAttributes)
        return 1;
    // The folder bit is read, never set.
    DWORD attributes = r.oldAttributes & ~(DWORD)FILE_ATTRIBUTE_DIRECTORY;
    return SetJobAttributes(path.text, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// Files first, then what they sat in: a created folder can only go once the files in it have. The targets and
// attributes go back (and are on the disk, with the record that says so) before the staged files are removed.
SettleResult RollBack(const unsigned char* bytes, size_t size, const RecordList& list, HANDLE journal,
                      char* lostFile)
{
    int stuck = 0, lost = 0;
    JournalRecord record;
    const JournalRecordType order[] = {JournalReplace, JournalAttributes, JournalStaged, JournalCreateFolder};
    for (JournalRecordType type : order) {
        if (type == JournalStaged) {
            if (stuck || lost)
                break;
            if (!list.undone && !(FlushJournalFolders(bytes, size) && RecordUndone(journal, list.end)))
                return SettleUnrecorded;
        }
        if (list.undone && (type == JournalReplace || type == JournalAttributes))
            continue;
        for (int i = list.count - 1; i >= 0; --i) {
            RecordAt(bytes, size, list.offsets[i], &record);
            // The two forms of a commit step are undone together, in the order they were taken.
            JournalRecordType kind = record.type == JournalReplaceWide ? JournalReplace : record.type;
            if (kind != type)
                continue;
            UndoResult undo;
            switch (type) {
            case JournalReplace:
                undo = UndoReplace(record);
                stuck |= undo == UndoStuck;
                if (undo == UndoLost && !lost++)
                    lstrcpynA(lostFile, record.path, MAX_PATH);
                break;
            case JournalAttributes:
                stuck |= !UndoAttributes(record);
                break;
            case JournalStaged:
                stuck |= !RemoveFile(WidePath(record.path));
                break;
            default:
                // A folder something else has put a file into since stays; nothing of the player's is lost.
                stuck |= !RemoveJobFolder(WidePath(record.path).text) && GetLastError() == LinkFoundError;
                break;
            }
        }
    }
    if (stuck || !FlushJournalFolders(bytes, size))
        return SettleStuck;
    return lost ? SettleLost : SettledRolledBack;
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
    return stuck || !FlushJournalFolders(bytes, size) ? SettleStuck : SettledCleanedUp;
}

// The folders the journal's Job record names, the only ones its settling may change anything in.
void UseJournalFolders(const unsigned char* bytes, size_t size)
{
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    if (NextJournalRecord(&reader, &record) && record.type == JournalJob)
        UseJobFolders(record.path, record.staged);
    else
        UseJobFolders("", "");
}

}  // namespace

SettleResult SettleJournal(const unsigned char* bytes, size_t size, HANDLE journal, char* lostFile)
{
    UseJournalFolders(bytes, size);
    RecordList list;
    if (!ListRecords(bytes, size, &list)) {
        if (list.offsets)
            GlobalFree(list.offsets);
        return SettleStuck;  // no memory: try again at the next start
    }
    SettleResult result = SettledNothing;
    if (list.steps)
        result = list.commitDone ? CleanUp(bytes, size, list) : RollBack(bytes, size, list, journal, lostFile);
    if (list.offsets)
        GlobalFree(list.offsets);
    return result;
}

void RestoreFolderTimes(const unsigned char* bytes, size_t size)
{
    UseJournalFolders(bytes, size);
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    while (NextJournalRecord(&reader, &record)) {
        if (record.type != JournalFolderTime)
            continue;
        FILETIME time;
        time.dwLowDateTime = (DWORD)record.time;
        time.dwHighDateTime = (DWORD)(record.time >> 32);
        SetJobTimes(WidePath(record.path).text, nullptr, &time);
    }
}
