#include "job/job_plan.h"

#include <cstring>

#include "archive/archive.h"
#include "archive/entry_stream.h"
#include "support/updater_values.h"
#include "support/messages.h"
#include "support/ansi_names.h"
#include "support/grow_block.h"
#include "support/path_join.h"
#include "support/relative_path.h"
#include "job/job_delta.h"
#include "job/job_stage.h"
#include "job/job_sink.h"
#include "job/update_section.h"
#include "job/job_volumes.h"
#include "support/file_calls.h"

namespace {

int WriteFailure()
{
    JobShowError(WriteFailureText);
    return 0;
}

void* AddItem(void** items, int* count, size_t* capacity, size_t itemSize)
{
    if (!ReserveItems(items, capacity, (size_t)*count + 1, itemSize))
        return nullptr;
    void* item = (char*)*items + (size_t)*count * itemSize;
    memset(item, 0, itemSize);
    ++*count;
    return item;
}

// A folder path as the plan keeps it: without a closing separator, except a drive's root.
void TrimSeparator(char* path)
{
    size_t length = strlen(path);
    if (length > 3 && EndsWithPathSeparator(path))
        path[length - 1] = '\0';
}

int SamePath(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

uint64_t FileTimeOf(const FILETIME& time)
{
    return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// The one folder level the job creates for an item (the section's data folder): planned when it is missing and its
// parent is there; any other case is left to the item's own tests, as a failed CreateDirectoryA always was.
int PlanFolderLevel(JobPlan* plan, const char* folder)
{
    char path[MAX_PATH];
    lstrcpynA(path, folder, sizeof path);
    TrimSeparator(path);
    if (FolderWillExist(plan, path) || Files.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return 1;
    char parent[MAX_PATH];
    FolderOfPath(path, parent);
    if (!parent[0] || !FolderWillExist(plan, parent))
        return 1;
    return PlanFolder(plan, path);
}

// A short name reaches only a file that exists: the commit moves the old file aside before the new one goes in,
// so the new one must be given the real name.
void NoteLongName(PlannedWrite* write, int resolved)
{
    wchar_t wide[MAX_PATH];
    DWORD length = 0;
    if (resolved && MultiByteToWideChar(CP_ACP, 0, write->target, -1, wide, MAX_PATH))
        length = Files.GetLongPathNameW(wide, write->longTarget, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        write->longTarget[0] = L'\0';
}

// A Data item's existing file: written back with its own bytes when it can be read whole and replaced, as the
// player's data otherwise, untouched.
int PlanWriteBack(JobPlan* plan, const UpdateItem& item, const char* target, const PlannedTarget& now, int resolved)
{
    if (now.attributes & FILE_ATTRIBUTE_READONLY)
        return 1;
    HANDLE file = Files.CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    LARGE_INTEGER size;
    int readable = Files.GetFileSizeEx(file, &size) && size.QuadPart < 0x100000000LL;
    Files.CloseHandle(file);
    if (!readable)
        return 1;
    PlannedWrite* write = AddPlannedWrite(plan);
    if (!write)
        return 0;
    write->source = FromTarget;
    lstrcpyA(write->target, target);
    lstrcpyA(write->shown, item.path);
    lstrcpyA(write->sourcePath, target);
    write->size = (uint64_t)size.QuadPart;
    write->attributes = FILE_ATTRIBUTE_NORMAL;
    write->copyItem = -1;
    write->optional = 1;
    NoteLongName(write, resolved);
    return 1;
}

// One update item planned: what the extraction and the Data rule would do to its target, decided without doing it.
int PlanUpdateItem(JobPlan* plan, const UpdateItem& item)
{
    const char* dataFolder = plan->section->dataFolder;
    // The data folder is joined below the installation (or data) folder of every item.
    if (item.refused || !IsPathInsideFolder(dataFolder))
        return WriteFailure();
    const char* base = plan->game->InstPath;
    if (item.kind == UpdateKind::Data) {
        // Never write relative to whatever the current folder happens to be.
        if (!IsAbsolutePath(plan->game->DataPath))
            return WriteFailure();
        base = plan->game->DataPath;
    }
    char target[MAX_PATH];
    memset(target, 0, sizeof target);
    if (strlen(base) + 2 > sizeof target)
        return WriteFailure();
    lstrcpyA(target, base);
    if (!AppendPathName(target, sizeof target, dataFolder))
        return WriteFailure();
    if (!PlanFolderLevel(plan, target) || !AppendPathName(target, sizeof target, item.path))
        return WriteFailure();
    char named[MAX_PATH];
    lstrcpyA(named, target);
    ResolveTargetName(target, sizeof target);
    int resolved = strcmp(named, target) != 0;

    PlannedTarget now;
    LookAtTarget(plan, target, &now);
    if (plan->section->overwriteOnly || item.kind == UpdateKind::Overwrite) {
        if (now.error)
            return WriteFailure();
        if (!now.exists || now.folder)
            return 1;
    }
    if (item.kind == UpdateKind::Data && (now.error || (now.exists && !now.folder))) {
        // What an earlier item writes there stays what it is; a file that cannot be examined is the player's.
        if (now.write || now.error)
            return 1;
        return PlanWriteBack(plan, item, target, now, resolved) || WriteFailure();
    }

    int32_t nameOffset = item.nameOffset;
    if (nameOffset < 0 || (size_t)nameOffset > strnlen(item.path, sizeof item.path - 1))
        nameOffset = 0;
    const ArchiveEntry* entry;
    uint64_t offset;
    size_t workspace;
    if (!UpdateArchive || !FindArchiveEntry(UpdateArchive, item.path + nameOffset, &entry, &offset)) {
        JobShowError(NotFoundText);
        return WriteFailure();
    }
    if (!ArchiveImage || !CheckEntryData(entry, offset, ArchiveImageSize) ||
        !StagedEntryWorkspace(entry, ArchiveImage + offset, &workspace)) {
        ShowEntryDamage(0);
        return WriteFailure();
    }
    char folder[MAX_PATH];
    FolderOfPath(target, folder);
    // Only the data folder is ever created: every other folder of an item's path must be there already.
    if (now.folder || now.error || !FolderWillExist(plan, folder))
        return WriteFailure();
    if (item.kind == UpdateKind::Update && now.exists && now.lastWrite > FileTimeValue(entry->fileTime)) {
        // Kept; a read-only mark goes all the same, as it always did before the time was compared.
        if (!now.write && (now.attributes & FILE_ATTRIBUTE_READONLY) &&
            !PlanAttributes(plan, target, now.attributes, FILE_ATTRIBUTE_NORMAL))
            return WriteFailure();
        return 1;
    }

    // A delta is for one version of the installed file: held to it now, before anything moves.
    if (EntryMethodOf(entry) == EntryMethodDelta &&
        !ChooseDeltaSource(entry, offset, target, item.path, &entry, &offset))
        return 0;

    PlannedWrite* write = AddPlannedWrite(plan);
    if (!write)
        return WriteFailure();
    write->source = FromEntry;
    lstrcpyA(write->target, target);
    lstrcpyA(write->shown, item.path);
    write->entry = entry;
    write->entryOffset = offset;
    write->size = entry->unpackedSize;
    write->time = FileTimeValue(entry->fileTime);
    write->attributes = FILE_ATTRIBUTE_NORMAL;
    write->copyItem = -1;
    NoteLongName(write, resolved);
    DropEarlierWrites(plan, write);
    return 1;
}

}  // namespace

void FolderOfPath(const char* path, char* folder)
{
    size_t length = FolderPartLength(path);
    memset(folder, 0, MAX_PATH);
    memcpy(folder, path, length);
    TrimSeparator(folder);
}

void FreeJobPlan(JobPlan* plan)
{
    if (plan->writes)
        GlobalFree(plan->writes);
    if (plan->folders)
        GlobalFree(plan->folders);
    if (plan->changes)
        GlobalFree(plan->changes);
    memset(plan, 0, sizeof *plan);
}

PlannedWrite* AddPlannedWrite(JobPlan* plan)
{
    return (PlannedWrite*)AddItem((void**)&plan->writes, &plan->writeCount, &plan->writeCapacity,
                                  sizeof(PlannedWrite));
}

int PlanFolder(JobPlan* plan, const char* path)
{
    PlannedFolder* folder =
        (PlannedFolder*)AddItem((void**)&plan->folders, &plan->folderCount, &plan->folderCapacity,
                                sizeof(PlannedFolder));
    if (!folder)
        return 0;
    lstrcpynA(folder->path, path, sizeof folder->path);
    TrimSeparator(folder->path);
    return 1;
}

int PlanAttributes(JobPlan* plan, const char* path, DWORD oldAttributes, DWORD newAttributes)
{
    PlannedAttributes* change =
        (PlannedAttributes*)AddItem((void**)&plan->changes, &plan->changeCount, &plan->changeCapacity,
                                    sizeof(PlannedAttributes));
    if (!change)
        return 0;
    lstrcpynA(change->path, path, sizeof change->path);
    change->oldAttributes = oldAttributes;
    change->newAttributes = newAttributes;
    return 1;
}

void LookAtTarget(JobPlan* plan, const char* path, PlannedTarget* target)
{
    memset(target, 0, sizeof *target);
    for (int i = plan->writeCount - 1; i >= 0; --i) {
        PlannedWrite& write = plan->writes[i];
        if (write.dropped || !SamePath(write.target, path))
            continue;
        target->exists = 1;
        target->attributes = write.attributes;
        if (write.source == FromTarget) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            target->lastWrite = FileTimeOf(now);
        } else {
            target->lastWrite = write.time;
        }
        target->write = &write;
        return;
    }
    char folder[MAX_PATH];
    lstrcpynA(folder, path, sizeof folder);
    TrimSeparator(folder);
    for (int i = 0; i < plan->folderCount; ++i)
        if (SamePath(plan->folders[i].path, folder)) {
            target->exists = target->folder = 1;
            target->attributes = FILE_ATTRIBUTE_DIRECTORY;
            return;
        }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Files.GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        DWORD error = GetLastError();
        target->error = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        return;
    }
    target->exists = 1;
    target->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    target->attributes = data.dwFileAttributes;
    target->lastWrite = FileTimeOf(data.ftLastWriteTime);
}

int FolderWillExist(const JobPlan* plan, const char* path)
{
    for (int i = 0; i < plan->folderCount; ++i)
        if (SamePath(plan->folders[i].path, path))
            return 1;
    DWORD attributes = Files.GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void DropEarlierWrites(JobPlan* plan, const PlannedWrite* write)
{
    for (int i = 0; i < plan->writeCount; ++i)
        if (&plan->writes[i] != write && !plan->writes[i].dropped && SamePath(plan->writes[i].target, write->target))
            plan->writes[i].dropped = 1;
}

int PlanUpdateItems(JobPlan* plan)
{
    const UpdateSection& section = *plan->section;
    for (int i = 0; i < section.itemCount && i < UpdateListCapacity; ++i)
        if (!PlanUpdateItem(plan, section.items[i]))
            return 0;
    return 1;
}

int WeighPlan(const JobPlan* plan, char* drive, uint64_t* shortfall)
{
    VolumeList volumes{nullptr, 0, 0};
    int ok = AddToVolume(&volumes, plan->game->InstPath, JournalBytesForPlan(plan));  // the installation's first
    for (int i = 0; ok && i < plan->writeCount; ++i) {
        const PlannedWrite& write = plan->writes[i];
        // A Data item written back takes room like any other file while both copies exist.
        if (!write.dropped)
            ok = AddToVolume(&volumes, write.target, write.size);
    }
    int fits = 1;
    for (size_t i = 0; ok && fits && i < volumes.count; ++i) {
        uint64_t available = 0;
        if (!VolumeFreeSpace(volumes.items[i], &available) || available >= volumes.items[i].need)
            continue;
        VolumeDisplayName(volumes.items[i], drive);
        *shortfall = volumes.items[i].need - available;
        fits = 0;
    }
    if (volumes.items)
        GlobalFree(volumes.items);
    return fits;
}
