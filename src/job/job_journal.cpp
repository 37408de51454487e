#include "job/job_journal.h"

#include <cstring>

#include "job/job_links.h"
#include "support/grow_block.h"
#include "support/path_join.h"
#include "support/file_calls.h"

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
    // A journal that cannot be written whole goes again, and the folder gets back the time it had before it.
    WIN32_FILE_ATTRIBUTE_DATA before;
    int timed = Files.GetFileAttributesExA(folder, GetFileExInfoStandard, &before);
    wchar_t path[MAX_PATH], wideFolder[MAX_PATH];
    WidenPath(journal->path, path);
    WidenPath(folder, wideFolder);
    journal->file = CreateJobFile(path, GENERIC_WRITE | DELETE, FILE_ATTRIBUTE_NORMAL);
    if (journal->file == INVALID_HANDLE_VALUE)
        return 0;
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    JournalRecord job;
    memset(&job, 0, sizeof job);
    job.type = JournalJob;
    lstrcpynA(job.path, folder, sizeof job.path);
    lstrcpynA(job.staged, dataFolder, sizeof job.staged);
    job.time = tag;
    if (!KeepInMemory(journal, header, sizeof header) || !WriteAll(journal->file, header, sizeof header) ||
        !AppendJournalRecord(journal, job)) {
        CloseJobJournal(journal, 1);
        FreeJobJournal(journal);
        if (timed)
            SetJobTimes(wideFolder, nullptr, &before.ftLastWriteTime);
        return 0;
    }
    return 1;
}

int AppendJournalRecord(JobJournal* journal, const JournalRecord& record)
{
    unsigned char encoded[JournalRecordMaxSize];
    size_t size = EncodeJournalRecord(record, encoded);
    // The file is written first: the copy in memory never holds a record the file may lack.
    if (size != 0 && WriteAll(journal->file, encoded, size) && KeepInMemory(journal, encoded, size))
        return 1;
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)journal->size;
    if (Files.SetFilePointerEx(journal->file, end, nullptr, FILE_BEGIN))
        Files.SetEndOfFile(journal->file);
    return 0;
}

// On NTFS the flush also makes the new journal's name durable (the file system's log goes to the disk with it).
// Under Wine it is an fsync of the file alone; a Linux file system may want its folder flushed as well, which
// Win32 cannot ask for.
int FlushJobJournal(JobJournal* journal)
{
    return Files.FlushFileBuffers(journal->file) != 0;
}

void CloseJobJournal(JobJournal* journal, int remove)
{
    // Removed through its own handle: the name may have been swapped for something else meanwhile.
    if (journal->file != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (remove)
            Files.SetFileInformationByHandle(journal->file, FileDispositionInfo, &disposition, sizeof disposition);
        Files.CloseHandle(journal->file);
    }
    journal->file = INVALID_HANDLE_VALUE;
}

void FreeJobJournal(JobJournal* journal)
{
    if (journal->bytes)
        GlobalFree(journal->bytes);
    journal->bytes = nullptr;
    journal->size = journal->capacity = 0;
}
