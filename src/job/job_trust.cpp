#include "job/job_trust.h"

#include "job/job_scope.h"
#include "job/journal_format.h"
#include "support/file_calls.h"

int JournalFileIsPlain(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return Files.GetFileInformationByHandle(file, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

int SealedFolder(const unsigned char* seal, size_t sealSize, char* folder)
{
    JournalReader reader;
    JournalRecord record;
    folder[0] = '\0';
    if (ReadJournalHeader(seal, sealSize) != JournalHeaderValid)
        return 0;
    StartJournalReader(&reader, seal, sealSize);
    if (!NextJournalRecord(&reader, &record) || record.type != JournalJob || !record.path[0])
        return 0;
    lstrcpynA(folder, record.path, MAX_PATH);
    return 1;
}

JournalTrust JudgeJournal(const unsigned char* bytes, size_t size, const unsigned char* seal, size_t sealSize,
                          const char* foundIn, char* recordedFolder)
{
    if (!seal)
        return JournalWithoutSeal;
    char sealed[MAX_PATH];
    if (!SealedFolder(seal, sealSize, sealed) || !JournalWithinSeal(bytes, size, seal, sealSize))
        return JournalDiffersFromSeal;
    if (!SameJournalFolder(sealed, foundIn)) {
        lstrcpynA(recordedFolder, sealed, MAX_PATH);
        return JournalOtherPlace;
    }
    return JournalTrusted;
}
