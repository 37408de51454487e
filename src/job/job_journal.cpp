#include "job/job_journal.h"

#include <cstring>

#include "job/job_seal.h"
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
    return WriteFile(file, bytes, (DWORD)count, &written, nullptr) && written == count;
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
    if (SetFilePointerEx(journal->file, end, nullptr, FILE_BEGIN))
        SetEndOfFile(journal->file);
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
    journal->file = CreateFileA(journal->path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (journal->file == INVALID_HANDLE_VALUE || !WriteAll(journal->file, journal->bytes, journal->size)) {
        // A file of that name that is not ours stays; the seal, ours, goes.
        CloseJobJournal(journal, journal->file != INVALID_HANDLE_VALUE);
        RemoveJobSeal();
        FreeJobJournal(journal);
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
    return FlushFileBuffers(journal->file) != 0;
}

void CloseJobJournal(JobJournal* journal, int remove)
{
    if (journal->file != INVALID_HANDLE_VALUE)
        CloseHandle(journal->file);
    journal->file = INVALID_HANDLE_VALUE;
    if (remove && journal->path[0] && (DeleteFileA(journal->path) || GetLastError() == ERROR_FILE_NOT_FOUND))
        RemoveJobSeal();
}

void FreeJobJournal(JobJournal* journal)
{
    if (journal->bytes)
        GlobalFree(journal->bytes);
    journal->bytes = nullptr;
    journal->size = journal->capacity = journal->written = journal->sealed = 0;
}
