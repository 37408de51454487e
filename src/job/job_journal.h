#pragma once
// The running job's journal file, in the installation folder under a fixed name no game file has. The job holds it
// open without sharing; its bytes are kept in memory too, and the job's own rollback reads them exactly as the next
// start would read the file. Records go to the file when they are flushed, and the job's seal (job_seal.h) gets
// every plan record before the file does, so that the journal on the disk never holds a step its seal lacks.
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
    size_t written;  // of `bytes`, how many the file has
    size_t sealed;   // the length of the seal written last
};

// The journal's path for the installation folder `folder` into `path` (MAX_PATH bytes); 0 when it does not fit.
int JournalPathFor(const char* folder, char* path);

// Seals and creates the journal of a new job in `folder` (there must be neither a seal nor a journal) with its
// header and the Job record that names the folders the job writes in (`folder` and `dataFolder`) and its tag. 0 on
// failure, with nothing left behind.
int CreateJobJournal(JobJournal* journal, const char* folder, const char* dataFolder, uint64_t tag);

// Appends a record to the copy in memory; the caller flushes before taking the steps it describes. 0 when it cannot
// be encoded or kept.
int AppendJournalRecord(JobJournal* journal, const JournalRecord& record);

// Everything appended so far sealed, written and on the disk. 0 on failure: what was appended since the last flush
// is then dropped, from the file too, so that a record appended after it is not hidden behind a torn one.
int FlushJobJournal(JobJournal* journal);

// Closes the file; `remove` deletes it and then the seal (the job is settled), otherwise both stay for the next
// start. The copy in memory stays until FreeJobJournal.
void CloseJobJournal(JobJournal* journal, int remove);
void FreeJobJournal(JobJournal* journal);
