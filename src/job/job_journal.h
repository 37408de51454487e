#pragma once
// The running job's journal file, in the installation folder under a fixed name no game file has. The job holds it
// open without sharing, so another start never takes it for the journal of a job that died; its bytes are kept in
// memory too, and the job's own rollback reads them exactly as the next start would read the file.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "job/journal_format.h"

extern const char JournalFileName[];

struct JobJournal {
    HANDLE file;
    char path[MAX_PATH];
    unsigned char* bytes;  // GlobalAlloc block: everything written so far, header included
    size_t size;
    size_t capacity;
};

// The journal's path for the installation folder `folder` into `path` (MAX_PATH bytes); 0 when it does not fit.
int JournalPathFor(const char* folder, char* path);

// Creates the journal of a new job in `folder` (there must be none) and writes its header and the Job record that
// names the folders the job writes in (`folder` and `dataFolder`) and its tag. 0 on failure, with nothing left
// behind.
int CreateJobJournal(JobJournal* journal, const char* folder, const char* dataFolder, uint64_t tag);

// Appends a record to the file and the copy in memory; the caller flushes before taking the steps it describes.
// 0 when it cannot be written; the file is then cut back to what the copy in memory holds, so that a record
// appended after it is not hidden behind a torn one.
int AppendJournalRecord(JobJournal* journal, const JournalRecord& record);

// Everything appended so far on the disk. 0 on failure.
int FlushJobJournal(JobJournal* journal);

// Closes the file; `remove` deletes it too (the job is settled), otherwise it stays for the next start. The copy in
// memory stays until FreeJobJournal.
void CloseJobJournal(JobJournal* journal, int remove);
void FreeJobJournal(JobJournal* journal);
