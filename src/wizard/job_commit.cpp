#include "wizard/job_commit.h"

#include <cstring>

namespace {

int Exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// NTFS gives a file renamed into a name the creation time of the file renamed away from it moments before; an
// entry's file carries the entry's time, so it is stamped again. (Wine cannot set creation times at all.)
void StampCreationTime(const PlannedWrite& write)
{
    HANDLE file = CreateFileA(write.target, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILETIME time;
    time.dwLowDateTime = (DWORD)write.time;
    time.dwHighDateTime = (DWORD)(write.time >> 32);
    SetFileTime(file, &time, nullptr, nullptr);
    CloseHandle(file);
}

int PlaceWrite(PlannedWrite* write)
{
    if (write->hadOriginal && !MoveFileExA(write->target, write->backup, 0)) {
        if (!write->optional)
            return 0;
        // A Data file that cannot be replaced (in use) stays as it is.
        DeleteFileA(write->staged);
        write->dropped = 1;
        return 1;
    }
    if (!MoveFileExA(write->staged, write->target, 0))
        return 0;
    if (write->source == FromEntry)
        StampCreationTime(*write);
    return 1;
}

}  // namespace

int BeginCommit(JobPlan* plan, JobJournal* journal)
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = JournalCommitBegins;
    if (!AppendJournalRecord(journal, record))
        return 0;
    record.type = JournalReplace;
    for (int i = 0; i < plan->writeCount; ++i) {
        PlannedWrite& write = plan->writes[i];
        if (write.dropped)
            continue;
        write.hadOriginal = Exists(write.target);
        lstrcpyA(record.path, write.target);
        lstrcpyA(record.staged, write.staged);
        lstrcpyA(record.backup, write.backup);
        record.hadOriginal = (uint8_t)write.hadOriginal;
        if (!AppendJournalRecord(journal, record))
            return 0;
    }
    memset(&record, 0, sizeof record);
    record.type = JournalAttributes;
    for (int i = 0; i < plan->changeCount; ++i) {
        lstrcpyA(record.path, plan->changes[i].path);
        record.oldAttributes = plan->changes[i].oldAttributes;
        record.newAttributes = plan->changes[i].newAttributes;
        if (!AppendJournalRecord(journal, record))
            return 0;
    }
    return FlushJobJournal(journal);
}

int CommitStepCount(const JobPlan* plan)
{
    return plan->writeCount + plan->changeCount;
}

int TakeCommitStep(JobPlan* plan, int index)
{
    if (index < plan->writeCount) {
        PlannedWrite* write = &plan->writes[index];
        return write->dropped || PlaceWrite(write);
    }
    const PlannedAttributes& change = plan->changes[index - plan->writeCount];
    return SetFileAttributesA(change.path, change.newAttributes) != 0;
}

int EndCommit(JobJournal* journal)
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = JournalCommitDone;
    return AppendJournalRecord(journal, record) && FlushJobJournal(journal);
}
