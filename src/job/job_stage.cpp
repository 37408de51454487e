#include "job/job_stage.h"

#include <cstring>

#include "archive/archive.h"
#include "archive/entry_file.h"
#include "archive/entry_stream.h"
#include "job/disc_copy.h"
#include "job/job_delta.h"
#include "job/job_links.h"
#include "job/job_sink.h"
#include "job/update_section.h"
#include "support/grow_block.h"
#include "support/messages.h"
#include "support/path_join.h"
#include "support/updater_values.h"
#include "support/file_calls.h"

const char WriteFailureText[] = "ファイルの書き込みに失敗しました";

namespace {

// "~", a tag of the job and a serial, in base 36: a name no game file has, distinct for every file of one job.
const size_t SiblingNameLength = 12;
const size_t CopyBufferSize = 1 << 20;

struct Naming {
    unsigned long tag;
    unsigned long serial;
};

void PutBase36(char* out, unsigned long value, int digits)
{
    const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = alphabet[value % 36];
        value /= 36;
    }
}

// A name for a new file in the folder of `path`, into `out`; 0 when the folder leaves no room for one.
int SiblingName(const char* path, Naming* naming, char* out)
{
    size_t folder = FolderPartLength(path);
    if (folder + SiblingNameLength + 1 > MAX_PATH)
        return 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        memset(out, 0, MAX_PATH);
        memcpy(out, path, folder);
        out[folder] = '~';
        PutBase36(out + folder + 1, naming->tag, 6);
        PutBase36(out + folder + 7, naming->serial++, 5);
        // Not found, or its folder is one the job is still to create.
        if (Files.GetFileAttributesA(out) == INVALID_FILE_ATTRIBUTES &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
            return 1;
    }
    return 0;
}

uint64_t TextRecordSize(size_t length, size_t fixed)
{
    return 4 + 1 + 2 + length + fixed + 4;
}

// The folders the job writes into and their last-write times before it, for a rollback to put back. Consecutive
// writes mostly share a folder, so only a repeat of the one before is left out; a folder listed twice is harmless.
struct FolderTimes {
    JournalRecord* records;
    size_t count, capacity;
};

int AddFolderTime(FolderTimes* times, const char* folder)
{
    if (times->count && lstrcmpiA(times->records[times->count - 1].path, folder) == 0)
        return 1;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Files.GetFileAttributesExA(folder, GetFileExInfoStandard, &data))
        return 1;  // a folder the job creates itself
    if (!ReserveItems((void**)&times->records, &times->capacity, times->count + 1, sizeof(JournalRecord)))
        return 0;
    JournalRecord& record = times->records[times->count++];
    memset(&record, 0, sizeof record);
    record.type = JournalFolderTime;
    lstrcpynA(record.path, folder, sizeof record.path);
    record.time = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    return 1;
}

int CollectFolderTimes(const JobPlan* plan, FolderTimes* times)
{
    char folder[MAX_PATH];
    if (!AddFolderTime(times, plan->game->InstPath))  // the journal's own folder
        return 0;
    for (int i = 0; i < plan->folderCount; ++i) {
        FolderOfPath(plan->folders[i].path, folder);
        if (!AddFolderTime(times, folder))
            return 0;
    }
    for (int i = 0; i < plan->writeCount; ++i) {
        if (plan->writes[i].dropped)
            continue;
        FolderOfPath(plan->writes[i].target, folder);
        if (!AddFolderTime(times, folder))
            return 0;
    }
    return 1;
}

// Names, journal records and folders: everything before the first byte is written.
int PrepareStaging(JobPlan* plan, JobJournal* journal)
{
    UseJobFolders(plan->game->InstPath, plan->game->DataPath);
    if (!PlanIsFreeOfLinks(plan))
        return 0;
    Naming naming{(GetTickCount() ^ (GetCurrentProcessId() << 12)) % 2176782336ul, 0};  // 36^6
    for (int i = 0; i < plan->writeCount; ++i) {
        PlannedWrite& write = plan->writes[i];
        if (!write.dropped && (!SiblingName(write.target, &naming, write.staged) ||
                               !SiblingName(write.target, &naming, write.backup)))
            return 0;
    }
    // The times are read before the journal itself changes the installation folder.
    FolderTimes times{nullptr, 0, 0};
    int ok = CollectFolderTimes(plan, &times) &&
             CreateJobJournal(journal, plan->game->InstPath, plan->game->DataPath, naming.tag);
    int created = ok;
    for (size_t i = 0; ok && i < times.count; ++i)
        ok = AppendJournalRecord(journal, times.records[i]);
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = JournalCreateFolder;
    for (int i = 0; ok && i < plan->folderCount; ++i) {
        lstrcpyA(record.path, plan->folders[i].path);
        ok = AppendJournalRecord(journal, record);
    }
    record.type = JournalStaged;
    for (int i = 0; ok && i < plan->writeCount; ++i) {
        if (plan->writes[i].dropped)
            continue;
        lstrcpyA(record.path, plan->writes[i].staged);
        ok = AppendJournalRecord(journal, record);
    }
    ok = ok && FlushJobJournal(journal);
    if (created && !ok && times.count && lstrcmpiA(times.records[0].path, plan->game->InstPath) == 0) {
        // Nothing recorded for a rollback (the folders' times included): the journal goes now, and its folder gets
        // its time back.
        CloseJobJournal(journal, 1);
        FreeJobJournal(journal);
        wchar_t folder[MAX_PATH];
        WidenPath(times.records[0].path, folder);
        FILETIME time{(DWORD)times.records[0].time, (DWORD)(times.records[0].time >> 32)};
        SetJobTimes(folder, nullptr, &time);
    }
    if (times.records)
        GlobalFree(times.records);
    if (!ok)
        return 0;
    // A folder that cannot be made fails the writes into it, which say so.
    wchar_t folder[MAX_PATH];
    for (int i = 0; i < plan->folderCount; ++i) {
        WidenPath(plan->folders[i].path, folder);
        CreateJobFolder(folder);
    }
    return 1;
}

// Flushing a staged file waits for the disk. A second thread flushes and closes each finished file while this one
// decodes the next; the commit waits until every flush has come back.
const int FlushQueueSize = 8;

struct Flusher {
    HANDLE thread;
    HANDLE filled;  // semaphore: files waiting in the queue
    HANDLE free;    // semaphore: free places in the queue
    HANDLE queue[FlushQueueSize];
    int head, tail;
    LONG failed;
};

DWORD WINAPI FlushStagedFiles(LPVOID context)
{
    Flusher* flusher = (Flusher*)context;
    for (;;) {
        WaitForSingleObject(flusher->filled, INFINITE);
        HANDLE file = flusher->queue[flusher->head];
        flusher->head = (flusher->head + 1) % FlushQueueSize;
        ReleaseSemaphore(flusher->free, 1, nullptr);
        if (!file)
            return 0;
        BOOL flushed = Files.FlushFileBuffers(file);
        BOOL closed = Files.CloseHandle(file);
        if (!flushed || !closed)
            InterlockedExchange(&flusher->failed, 1);
    }
}

void StartFlusher(Flusher* flusher)
{
    memset(flusher, 0, sizeof *flusher);
    flusher->filled = CreateSemaphoreA(nullptr, 0, FlushQueueSize, nullptr);
    flusher->free = CreateSemaphoreA(nullptr, FlushQueueSize, FlushQueueSize, nullptr);
    if (flusher->filled && flusher->free)
        flusher->thread = CreateThread(nullptr, 0, FlushStagedFiles, flusher, 0, nullptr);
}

// Flushed and closed by the second thread, or here when there is none. 0 when it is known to have failed.
int FlushAndClose(Flusher* flusher, HANDLE file)
{
    if (!flusher->thread) {
        BOOL flushed = Files.FlushFileBuffers(file);
        return Files.CloseHandle(file) && flushed;
    }
    WaitForSingleObject(flusher->free, INFINITE);
    flusher->queue[flusher->tail] = file;
    flusher->tail = (flusher->tail + 1) % FlushQueueSize;
    ReleaseSemaphore(flusher->filled, 1, nullptr);
    return 1;
}

// Every file handed over is on the disk and closed. 0 when a flush failed.
int StopFlusher(Flusher* flusher)
{
    if (flusher->thread) {
        FlushAndClose(flusher, nullptr);
        WaitForSingleObject(flusher->thread, INFINITE);
        CloseHandle(flusher->thread);
    }
    if (flusher->filled)
        CloseHandle(flusher->filled);
    if (flusher->free)
        CloseHandle(flusher->free);
    return !flusher->failed;
}

// How one write ended.
enum WriteResult {
    WriteDone, WriteBroken, WriteCopyBroken, WriteDamaged, WriteSumWrong, WriteNoMemory, WriteStopped,
    WriteBaseChanged  // the installed file under a delta is no longer the one planning checked
};

// The entry's pieces go to the staged file (with their sum, when the payload has sums), and the progress moves;
// a confirmed Cancel stops the decoding at the next piece.
struct StagedOutput {
    EntryFileOutput file;
    int stopped;
};

int WriteStagedPiece(void* context, const unsigned char* bytes, size_t count)
{
    StagedOutput* output = (StagedOutput*)context;
    if (JobStopRequested()) {
        output->stopped = 1;
        return 0;
    }
    if (!WriteEntryPiece(&output->file, bytes, count))
        return 0;
    JobAddBytes(count);
    return 1;
}

WriteResult WriteEntry(const PlannedWrite& write, HANDLE file)
{
    const unsigned char* stored = ArchiveImage + write.entryOffset;
    size_t size = 0;
    if (!StagedEntryWorkspace(write.entry, stored, &size))
        return WriteDamaged;
    unsigned char* workspace = (unsigned char*)GlobalAlloc(GMEM_FIXED, size ? size : 1);
    if (!workspace)
        return WriteNoMemory;
    uint32_t sum = 0;
    StagedOutput output{{file, 0, UpdateSumsLoaded ? &sum : nullptr}, 0};
    // A delta reads the installed file, still in its place until the commit.
    int changed = 0;
    EntryStreamResult result =
        EntryMethodOf(write.entry) == EntryMethodDelta
            ? StreamDeltaOverTarget(write.entry, stored, write.target, workspace, size, WriteStagedPiece, &output,
                                    &changed)
            : StreamEntry(write.entry, stored, workspace, size, WriteStagedPiece, &output);
    GlobalFree(workspace);
    if (result == EntryStreamDamaged)
        return WriteDamaged;
    if (result == EntryStreamStopped)
        return output.stopped || JobStopRequested() ? WriteStopped : WriteBroken;
    if (changed)
        return WriteBaseChanged;
    if (result != EntryStreamDone)
        return WriteBroken;  // the installed file under a delta could not be read
    // Checked before the file can go in: a damaged download never reaches the game.
    if (!EntryIntact(UpdateArchive, write.entry, sum))
        return WriteSumWrong;
    return WriteDone;
}

// A disc file, or a Data file's own bytes, copied piece by piece; the count must come out as planned.
WriteResult CopyBytes(const char* source, const PlannedWrite& write, HANDLE file, unsigned char* buffer)
{
    WriteResult broken = write.source == FromDisc ? WriteCopyBroken : WriteBroken;
    // A Data file written back is read as itself: its bytes, read elevated, go where the player can read them.
    wchar_t target[MAX_PATH];
    WidenPath(source, target);
    HANDLE input = write.source == FromDisc ? Files.CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
                                            : OpenJobFile(target, GENERIC_READ, FILE_SHARE_READ);
    if (input == INVALID_HANDLE_VALUE)
        return broken;
    WriteResult result = WriteDone;
    uint64_t copied = 0;
    for (;;) {
        if (JobStopRequested()) {
            result = WriteStopped;
            break;
        }
        DWORD got = 0, written = 0;
        if (!Files.ReadFile(input, buffer, (DWORD)CopyBufferSize, &got, nullptr)) {
            result = broken;
            break;
        }
        if (got == 0)
            break;
        if (got > write.size - copied || !Files.WriteFile(file, buffer, got, &written, nullptr) || written != got) {
            result = broken;
            break;
        }
        copied += got;
        JobAddBytes(got);
    }
    Files.CloseHandle(input);
    if (result == WriteDone && copied != write.size)
        result = broken;  // the file on the disc is not what was planned (or the disc went)
    return result;
}

WriteResult StageWrite(const PlannedWrite& write, const char* discDrive, unsigned char* buffer, Flusher* flusher)
{
    wchar_t staged[MAX_PATH];
    WidenPath(write.staged, staged);
    HANDLE file = CreateJobFile(staged, GENERIC_WRITE, write.attributes | FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE)
        return write.source == FromDisc ? WriteCopyBroken : WriteBroken;
    WriteResult result;
    char source[MAX_PATH];
    switch (write.source) {
    case FromEntry:
        result = WriteEntry(write, file);
        break;
    case FromDisc:
        memset(source, 0, sizeof source);
        lstrcpyA(source, discDrive);
        result = AppendPathName(source, sizeof source, write.sourcePath) ? CopyBytes(source, write, file, buffer)
                                                                           : WriteCopyBroken;
        break;
    default:
        result = CopyBytes(write.sourcePath, write, file, buffer);
        break;
    }
    if (result == WriteDone) {
        FILETIME time;
        time.dwLowDateTime = (DWORD)write.time;
        time.dwHighDateTime = (DWORD)(write.time >> 32);
        int stamped = write.source == FromEntry  ? Files.SetFileTime(file, &time, &time, &time)
                      : write.source == FromDisc ? Files.SetFileTime(file, nullptr, nullptr, &time)
                                                 : 1;
        LARGE_INTEGER size;
        if (!stamped || !Files.GetFileSizeEx(file, &size) || (uint64_t)size.QuadPart != write.size)
            result = write.source == FromDisc ? WriteCopyBroken : WriteBroken;
    }
    // On the disk before the commit: a power cut must never show a new name over data that never got there.
    if (result == WriteDone)
        return FlushAndClose(flusher, file) ? WriteDone : WriteBroken;
    Files.CloseHandle(file);
    return result;
}

// What a write that did not succeed means for the job, after the boxes that belong to it. An optional write (a
// Data file written back) is simply dropped.
StageResult ReportWrite(const JobPlan* plan, PlannedWrite* write, WriteResult result)
{
    if (result == WriteStopped)
        return StageStopped;
    if (write->optional) {
        wchar_t staged[MAX_PATH];
        WidenPath(write->staged, staged);
        DeleteJobFile(staged);
        write->dropped = 1;
        return StageDone;
    }
    switch (result) {
    case WriteCopyBroken:
        ShowCopyFailure(plan->section->copies[write->copyItem].path);
        return StageFailed;
    case WriteDamaged:
    case WriteSumWrong:
        ShowEntryDamage(result == WriteSumWrong);
        break;
    case WriteNoMemory:
        JobShowError(NoMemoryText);
        break;
    case WriteBaseChanged:
        ShowDeltaBaseChanged(write->shown);
        return StageFailed;
    default:
        break;
    }
    JobShowError(WriteFailureText);
    return StageFailed;
}

uint64_t TotalBytes(const JobPlan* plan)
{
    uint64_t total = 0;
    for (int i = 0; i < plan->writeCount; ++i)
        if (!plan->writes[i].dropped)
            total += plan->writes[i].size;
    return total;
}

// Where staging stands on the discs: the copy item whose disc was looked for last, and the drive it is in.
struct DiscState {
    int copyItem;
    char drive[3];
};

// One write staged, its disc looked for first when it reads another copy item's.
StageResult StageOneWrite(JobPlan* plan, PlannedWrite& write, DiscState* disc, unsigned char* buffer,
                          Flusher* flusher)
{
    if (JobStopRequested())
        return StageStopped;
    if (write.source == FromDisc && write.copyItem != disc->copyItem) {
        disc->copyItem = write.copyItem;
        if (!DiscDriveForStaging(*plan->section, disc->copyItem, disc->drive))
            return StageFailed;
        JobSetInfoText("%s をコピーしています", plan->section->copies[disc->copyItem].path);
    }
    JobStartFile(write.shown);
    WriteResult written = StageWrite(write, disc->drive, buffer, flusher);
    return written == WriteDone ? StageDone : ReportWrite(plan, &write, written);
}

// Every write that is not dropped. The disc in the drive now is the one planning asked for last: its files go
// first and the other discs' after them, so that a job over two discs asks for the first one only once more.
StageResult StageEveryWrite(JobPlan* plan, unsigned char* buffer, Flusher* flusher)
{
    const UpdateSection& section = *plan->section;
    int inDrive = section.copyCount > 0 ? DiscOfCopyItem(section, section.copyCount - 1) : 0;
    DiscState disc{-1, ""};
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < plan->writeCount; ++i) {
            PlannedWrite& write = plan->writes[i];
            int otherDisc = write.source == FromDisc && DiscOfCopyItem(section, write.copyItem) != inDrive;
            if (write.dropped || otherDisc != pass)
                continue;
            StageResult result = StageOneWrite(plan, write, &disc, buffer, flusher);
            if (result != StageDone)
                return result;
        }
    }
    return StageDone;
}

}  // namespace

void ShowEntryDamage(int sumWrong)
{
    if (!sumWrong && !UpdateSumsLoaded) {
        JobShowError(NotFoundText);
        return;
    }
    if (!PayloadDamageShown)
        JobShowError(DamagedPayloadText);
    PayloadDamageShown = 1;
}

StageResult StagePlan(JobPlan* plan, JobJournal* journal)
{
    LinkFoundPath[0] = '\0';
    if (!PrepareStaging(plan, journal)) {
        if (LinkFoundPath[0])
            ShowLinkFound();  // before any change
        else
            JobShowError(WriteFailureText);
        return StageFailed;
    }
    unsigned char* buffer = (unsigned char*)GlobalAlloc(GMEM_FIXED, CopyBufferSize);
    if (!buffer) {
        JobShowError(NoMemoryText);
        JobShowError(WriteFailureText);
        return StageFailed;
    }
    JobSetTotal(TotalBytes(plan));
    Flusher flusher;
    StartFlusher(&flusher);
    StageResult result = StageEveryWrite(plan, buffer, &flusher);
    // Every staged file closed, whatever the result: a rollback deletes them next.
    if (!StopFlusher(&flusher) && result == StageDone) {
        JobShowError(WriteFailureText);
        result = StageFailed;
    }
    GlobalFree(buffer);
    return result;
}

uint64_t JournalBytesForPlan(const JobPlan* plan)
{
    uint64_t bytes = JournalHeaderSize + 2 * (4 + 1 + 4);  // CommitBegins, CommitDone
    size_t instLength = strlen(plan->game->InstPath);
    bytes += TextRecordSize(instLength, 2 + strlen(plan->game->DataPath) + 8);  // the job: its folders and tag
    bytes += TextRecordSize(instLength, 8);                                      // the installation folder's time
    for (int i = 0; i < plan->folderCount; ++i) {
        size_t length = strlen(plan->folders[i].path);
        bytes += TextRecordSize(length, 0) + TextRecordSize(length, 8);  // CreateFolder; its parent's time
    }
    for (int i = 0; i < plan->writeCount; ++i) {
        const PlannedWrite& write = plan->writes[i];
        if (write.dropped)
            continue;
        size_t target = strlen(write.target);
        size_t sibling = FolderPartLength(write.target) + SiblingNameLength;
        bytes += TextRecordSize(sibling, 0);                                 // Staged
        size_t realName = write.longTarget[0] ? 2 + 2 * (size_t)lstrlenW(write.longTarget) : 0;
        bytes += TextRecordSize(target, 2 + sibling + 2 + sibling + 1 + realName);  // Replace
        bytes += TextRecordSize(target, 8);                                 // its folder's time
    }
    for (int i = 0; i < plan->changeCount; ++i)
        bytes += TextRecordSize(strlen(plan->changes[i].path), 8);
    return bytes;
}
