#include "job/job_journal.h"

#include <cstring>

#include "job/job_links.h"
#include "job/job_seal.h"
#include "support/file_calls.h"
#include "support/grow_block.h"
#include "support/path_join.h"

const char JournalFileName[] = "~UPDATE.JNL";

namespace {

int KeepInMemory(JobJournal* journal, const unsigned char* bytes, size_t count)
{
    if (!ReserveItems((void**)&journal->bytes, &journal->capacity, journal->size + count, 1))
        return 0;
    memcpy(journal->bytes + journal->size, bytes, count);
    journal->size += count;
    return 1;
}

int WriteAll(HANDLE file, const unsigned char* bytes, size_t count)
{
    DWORD written = 0;
    return Files.WriteFile(file, bytes, (DWORD)count, &written, nullptr) && written == count;
}

// The seal again when the plan grew since it was written last.
int Seal(JobJournal* journal, int first)
{
    unsigned char* seal = (unsigned char*)GlobalAlloc(GMEM_FIXED, journal->size);
    size_t length = seal ? CopyJournalSeal(journal->bytes, journal->size, seal) : 0;
    int sealed = length && (length == journal->sealed || WriteJobSeal(seal, length, first));
    if (seal)
        GlobalFree(seal);
    if (sealed)
        journal->sealed = length;
    return sealed;
}

// What was appended since the last flush goes, from the file (cut back) and from memory.
void DropUnwritten(JobJournal* journal)
{
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)journal->written;
    if (Files.SetFilePointerEx(journal->file, end, nullptr, FILE_BEGIN))
        Files.SetEndOfFile(journal->file);
    journal->size = journal->written;
}

}  // namespace

int JournalPathFor(const char* folder, char* path)
{
    memset(path, 0, MAX_PATH);
    size_t length = strnlen(folder, MAX_PATH);
    if (length >= MAX_PATH)
        return 0;
    memcpy(path, folder, length);
    return AppendPathName(path, MAX_PATH, JournalFileName);
}

int CreateJobJournal(JobJournal* journal, const char* folder, const char* dataFolder, uint64_t tag)
{
    memset(journal, 0, sizeof *journal);
    journal->file = INVALID_HANDLE_VALUE;
    if (!JournalPathFor(folder, journal->path))
        return 0;
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    JournalRecord job;
    memset(&job, 0, sizeof job);
    job.type = JournalJob;
    lstrcpynA(job.path, folder, sizeof job.path);
    lstrcpynA(job.staged, dataFolder, sizeof job.staged);
    job.time = tag;
    // Sealed before the file exists: no journal of the job is ever without its seal.
    if (!KeepInMemory(journal, header, sizeof header) || !AppendJournalRecord(journal, job) || !Seal(journal, 1)) {
        FreeJobJournal(journal);
        return 0;
    }
    // A journal that cannot be written whole goes again, and its folder gets back the time it had before it.
    WIN32_FILE_ATTRIBUTE_DATA before;
    int timed = Files.GetFileAttributesExA(folder, GetFileExInfoStandard, &before);
    wchar_t path[MAX_PATH], wideFolder[MAX_PATH];
    WidenPath(journal->path, path);
    WidenPath(folder, wideFolder);
    journal->file = CreateJobFile(path, GENERIC_WRITE | DELETE, FILE_ATTRIBUTE_NORMAL);
    if (journal->file == INVALID_HANDLE_VALUE || !WriteAll(journal->file, journal->bytes, journal->size)) {
        // A file of that name that is not ours stays; the seal, ours, goes.
        int created = journal->file != INVALID_HANDLE_VALUE;
        CloseJobJournal(journal, created);
        RemoveJobSeal();
        FreeJobJournal(journal);
        if (created && timed)
            SetJobTimes(wideFolder, nullptr, &before.ftLastWriteTime);
        return 0;
    }
    journal->written = journal->size;
    return 1;
}

int AppendJournalRecord(JobJournal* journal, const JournalRecord& record)
{
    unsigned char encoded[JournalRecordMaxSize];
    size_t size = EncodeJournalRecord(record, encoded);
    return size != 0 && KeepInMemory(journal, encoded, size);
}

// On NTFS the flush also makes the new journal's name durable (the file system's log goes to the disk with it).
// Under Wine it is an fsync of the file alone; a Linux file system may want its folder flushed as well, which
// Win32 cannot ask for.
int FlushJobJournal(JobJournal* journal)
{
    if (journal->size > journal->written) {
        if (!Seal(journal, 0) ||
            !WriteAll(journal->file, journal->bytes + journal->written, journal->size - journal->written)) {
            DropUnwritten(journal);
            return 0;
        }
        journal->written = journal->size;
    }
    return Files.FlushFileBuffers(journal->file) != 0;
}

void CloseJobJournal(JobJournal* journal, int remove)
{
    // Removed through its own handle while it is open: the name may have been swapped for something else meanwhile.
    int removed = 0;
    if (journal->file != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        removed = remove && Files.SetFileInformationByHandle(journal->file, FileDispositionInfo, &disposition,
                                                             sizeof disposition);
        Files.CloseHandle(journal->file);
    }
    journal->file = INVALID_HANDLE_VALUE;
    wchar_t path[MAX_PATH];
    WidenPath(journal->path, path);
    if (remove && journal->path[0] &&
        (removed || DeleteJobFile(path) || GetLastError() == ERROR_FILE_NOT_FOUND))
        RemoveJobSeal();
}

void FreeJobJournal(JobJournal* journal)
{
    if (journal->bytes)
        GlobalFree(journal->bytes);
    journal->bytes = nullptr;
    journal->size = journal->capacity = journal->written = journal->sealed = 0;
}
