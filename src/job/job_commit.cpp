#include "job/job_commit.h"

#include <cstring>

#include "job/job_durable.h"
#include "job/job_links.h"
#include "job/job_retry.h"
#include "support/file_calls.h"

namespace {

int Exists(const char* path)
{
    return Files.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Where the new file goes in: its real name when the plan has one.
void TargetName(const PlannedWrite& write, wchar_t* wide)
{
    if (write.longTarget[0])
        lstrcpyW(wide, write.longTarget);
    else
        WidenPath(write.target, wide);
}

// NTFS gives a file renamed into a name the creation time of the file renamed away from it moments before; an
// entry's file carries the entry's time, so it is stamped again. (Wine cannot set creation times at all.)
void StampCreationTime(const PlannedWrite& write)
{
    wchar_t target[MAX_PATH];
    TargetName(write, target);
    FILETIME time;
    time.dwLowDateTime = (DWORD)write.time;
    time.dwHighDateTime = (DWORD)(write.time >> 32);
    SetJobTimes(target, &time, nullptr);
}

int Move(const char* from, const wchar_t* to)
{
    wchar_t source[MAX_PATH];
    WidenPath(from, source);
    return MoveHeldFile(source, to);
}

int PlaceWrite(PlannedWrite* write)
{
    wchar_t backup[MAX_PATH], target[MAX_PATH];
    WidenPath(write->backup, backup);
    TargetName(*write, target);
    if (write->hadOriginal && !Move(write->target, backup)) {
        if (!write->optional)
            return 0;
        // A Data file that cannot be replaced (in use) stays as it is. Its staged file stays too, as a sign to a
        // rollback that the target never went aside; the settling removes it.
        write->dropped = 1;
        return 1;
    }
    if (!Move(write->staged, target))
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
    for (int i = 0; i < plan->writeCount; ++i) {
        PlannedWrite& write = plan->writes[i];
        if (write.dropped)
            continue;
        write.hadOriginal = Exists(write.target);
        record.type = write.longTarget[0] ? JournalReplaceWide : JournalReplace;
        lstrcpyA(record.path, write.target);
        for (int unit = 0; unit < MAX_PATH; ++unit)
            record.wideTarget[unit] = (uint16_t)write.longTarget[unit];
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
    wchar_t path[MAX_PATH];
    WidenPath(change.path, path);
    return SetJobAttributes(path, change.newAttributes);
}

CommitEnd EndCommit(JobJournal* journal)
{
    if (!FlushJournalFolders(journal->bytes, journal->size))
        return CommitEndFailed;
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = JournalCommitDone;
    if (!AppendJournalRecord(journal, record))
        return CommitEndFailed;
    return FlushJobJournal(journal) ? CommitEnded : CommitEndUnconfirmed;
}
