#include "job/disc_copy.h"

#include <cstring>

#include "job/job_sink.h"
#include "job/update_section.h"
#include "settings/setup_settings.h"
#include "support/path_join.h"
#include "support/text_format.h"
#include "support/updater_values.h"
#include "support/file_calls.h"

namespace {

// A path buffer holding `path`, zero-filled; 0 when it does not fit with both NULs.
int SetPath(char* buffer, const char* path)
{
    memset(buffer, 0, MAX_PATH);
    size_t length = strnlen(path, MAX_PATH);
    if (length + 2 > MAX_PATH)
        return 0;
    memcpy(buffer, path, length);
    return 1;
}

int Join(char* out, const char* folder, const char* name)
{
    return SetPath(out, folder) && AppendPathName(out, MAX_PATH, name);
}

int IsDots(const char* name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Building the writes of one copy item.
struct CopyPlanning {
    JobPlan* plan;
    int index;
    const char* drive;  // "D:"
};

// A folder the copy puts files into: planned when it is missing. 0 when a file is in the way.
int NeedFolder(CopyPlanning* copy, const char* folder)
{
    PlannedTarget now;
    LookAtTarget(copy->plan, folder, &now);
    if (now.folder)
        return 1;
    if (now.exists || now.error)
        return 0;
    return PlanFolder(copy->plan, folder);
}

// One disc file (`relative` to the disc's root) to `destination`.
int PlanDiscFile(CopyPlanning* copy, const char* relative, const char* destination, const WIN32_FIND_DATAA& found,
                 DWORD attributes)
{
    PlannedTarget now;
    LookAtTarget(copy->plan, destination, &now);
    if (now.folder || now.error)
        return 0;
    PlannedWrite* write = AddPlannedWrite(copy->plan);
    if (!write)
        return 0;
    write->source = FromDisc;
    lstrcpyA(write->target, destination);
    lstrcpyA(write->sourcePath, relative);
    // The name the player sees: the path below the installation folder.
    const char* shown = destination + strlen(copy->plan->game->InstPath);
    while (*shown == '\\' || *shown == '/')
        ++shown;
    lstrcpynA(write->shown, shown, sizeof write->shown);
    write->size = ((uint64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    write->time = ((uint64_t)found.ftLastWriteTime.dwHighDateTime << 32) | found.ftLastWriteTime.dwLowDateTime;
    write->attributes = attributes;
    write->copyItem = copy->index;
    DropEarlierWrites(copy->plan, write);
    return 1;
}

// What the shell's copy kept of a folder copy's file attributes: everything but the read-only mark, which the game
// could not write through.
DWORD KeptAttributes(DWORD attributes)
{
    DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

int PlanDiscEntry(CopyPlanning* copy, const char* relative, const char* destination, const WIN32_FIND_DATAA& found);

// A disc folder and everything in it into `destination`. Each level adds at least two bytes to a path of at most
// 259, which bounds the depth.
int PlanDiscFolder(CopyPlanning* copy, const char* relative, const char* destination)
{
    char pattern[MAX_PATH];
    if (!NeedFolder(copy, destination) || !Join(pattern, copy->drive, relative) ||
        !AppendPathName(pattern, sizeof pattern, "*"))
        return 0;
    WIN32_FIND_DATAA found;
    HANDLE search = Files.FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_NO_MORE_FILES;
    int ok = 1;
    do {
        if (IsDots(found.cFileName))
            continue;
        char innerRelative[MAX_PATH], innerDestination[MAX_PATH];
        ok = Join(innerRelative, relative, found.cFileName) && Join(innerDestination, destination, found.cFileName) &&
             PlanDiscEntry(copy, innerRelative, innerDestination, found);
    } while (ok && Files.FindNextFileA(search, &found));
    Files.FindClose(search);
    return ok;
}

int PlanDiscEntry(CopyPlanning* copy, const char* relative, const char* destination, const WIN32_FIND_DATAA& found)
{
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return PlanDiscFolder(copy, relative, destination);
    return PlanDiscFile(copy, relative, destination, found, KeptAttributes(found.dwFileAttributes));
}

// The parents of a file copy's destination below the installation folder, created as the shell's copy did.
int NeedParents(CopyPlanning* copy, const char* destination)
{
    size_t base = strlen(copy->plan->game->InstPath);
    size_t folderEnd = FolderPartLength(destination);
    char folder[MAX_PATH];
    for (size_t at = base + 1; at < folderEnd; ++at) {
        if (destination[at] != '\\' && destination[at] != '/')
            continue;
        // A trail byte 0x5C is no separator: FolderPartLength of the part so far tells.
        memset(folder, 0, sizeof folder);
        memcpy(folder, destination, at + 1);
        if (FolderPartLength(folder) != at + 1)
            continue;
        folder[at] = '\0';
        if (!NeedFolder(copy, folder))
            return 0;
    }
    return 1;
}

// The matches of a wildcard (or the contents of a folder named with a closing backslash), each into the
// installation folder under its own name.
int PlanMatches(CopyPlanning* copy, const char* relativePattern)
{
    char pattern[MAX_PATH];
    if (!Join(pattern, copy->drive, relativePattern))
        return 0;
    size_t folderLength = FolderPartLength(relativePattern);
    WIN32_FIND_DATAA found;
    HANDLE search = Files.FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;  // a source the disc lacks
    int ok = 1, matched = 0;
    do {
        if (IsDots(found.cFileName))
            continue;
        matched = 1;
        char relative[MAX_PATH], destination[MAX_PATH];
        memset(relative, 0, sizeof relative);
        memcpy(relative, relativePattern, folderLength);
        ok = AppendPathName(relative, sizeof relative, found.cFileName) &&
             Join(destination, copy->plan->game->InstPath, found.cFileName) &&
             PlanDiscEntry(copy, relative, destination, found);
    } while (ok && Files.FindNextFileA(search, &found));
    Files.FindClose(search);
    return ok && matched;
}

// The shell's copy set the installation folder's attributes to normal after a folder copy.
int PlanInstallFolderAttributes(JobPlan* plan)
{
    const char* instPath = plan->game->InstPath;
    DWORD attributes = Files.GetFileAttributesA(instPath);
    const DWORD cleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & cleared))
        return 1;
    return PlanAttributes(plan, instPath, attributes, FILE_ATTRIBUTE_NORMAL);
}

// What the source of a copy item names, as planned writes: a file goes to the same path below the installation
// folder (its folders created on the way); a folder goes into the installation folder under its own name; a
// wildcard, or a folder named with a closing backslash (its contents), puts what matches into the installation
// folder. A source that is not on the disc matches nothing, and fails.
int PlanCopySource(CopyPlanning* copy, const char* source, const char* path)
{
    DWORD attributes = Files.GetFileAttributesA(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        char destination[MAX_PATH];
        WIN32_FIND_DATAA found;
        HANDLE search = Files.FindFirstFileA(source, &found);
        if (search == INVALID_HANDLE_VALUE)
            return 0;
        Files.FindClose(search);
        return Join(destination, copy->plan->game->InstPath, path) && NeedParents(copy, destination) &&
               PlanDiscFile(copy, path, destination, found, FILE_ATTRIBUTE_NORMAL);
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && !EndsWithPathSeparator(path)) {
        char destination[MAX_PATH];
        return Join(destination, copy->plan->game->InstPath, path + FolderPartLength(path)) &&
               PlanDiscFolder(copy, path, destination) && PlanInstallFolderAttributes(copy->plan);
    }
    char pattern[MAX_PATH];
    if (!SetPath(pattern, path) || (EndsWithPathSeparator(pattern) && !AppendPathName(pattern, sizeof pattern, "*")))
        return 0;
    return PlanMatches(copy, pattern) && PlanInstallFolderAttributes(copy->plan);
}

// One copy item planned: 1 to go on; 0 when the job is to end (after any box that belongs to the failure).
int PlanCopyItem(JobPlan* plan, int index, char* diskDrive)
{
    const CopyItem& item = plan->section->copies[index];
    if (item.refused || item.diskNo < 0 || item.diskNo > 9) {
        ShowCopyFailure(item.path);
        return 0;
    }
    if (item.diskNo != 0) {
        if (!FindDiskDrive(item.diskNo, item.path, diskDrive))
            return 0;
    } else if (!diskDrive[0]) {
        // Disk 0 means "the drive found last"; before any search there is none to copy from.
        ShowCopyFailure(item.path);
        return 0;
    }

    CopyPlanning copy{plan, index, diskDrive};
    char source[MAX_PATH];
    int ok = Join(source, diskDrive, item.path) && PlanCopySource(&copy, source, item.path);
    if (!ok)
        ShowCopyFailure(item.path);
    return ok;
}

}  // namespace

void ShowCopyFailure(const char* itemPath)
{
    char text[1024];
    FormatText(text, sizeof text, "SETUP.INI : \"%s\" のコピーに失敗しました", itemPath);
    JobShowError(text);
}

int FindDiskDrive(int diskNo, const char* itemPath, char* drive)
{
    // The check path has the same length on every drive letter: one that cannot be formed refuses the item
    // instead of counting as "no disc", which would prompt for ever.
    char checkPath[MAX_PATH];
    if (diskNo < 0 || diskNo >= DiskCheckFileSlots || !SetPath(checkPath, "A:") ||
        !AppendPathName(checkPath, sizeof checkPath, SetupSettings.DiskCheckFile[diskNo])) {
        ShowCopyFailure(itemPath);
        return 0;
    }
    for (;;) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            char root[3] = {letter, ':', '\0'};
            if (Files.GetDriveTypeA(root) != DRIVE_CDROM)
                continue;
            checkPath[0] = letter;
            if (Files.GetFileAttributesA(checkPath) != INVALID_FILE_ATTRIBUTES) {
                memcpy(drive, root, sizeof root);
                return 1;
            }
        }
        char text[1024];
        FormatText(text, sizeof text, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい", GameTitle, diskNo);
        if (JobAskDisc(text) != IDOK)
            return 0;
    }
}

int PlanCopyItems(JobPlan* plan)
{
    char diskDrive[3] = "";  // the drive the latest disc search found; copies with disk 0 use it too
    for (int i = 0; i < plan->section->copyCount && i < CopyListCapacity; ++i)
        if (!PlanCopyItem(plan, i, diskDrive))
            return 0;
    return 1;
}

int DiscOfCopyItem(const UpdateSection& section, int index)
{
    int diskNo = 0;
    for (int i = index; i >= 0 && diskNo == 0; --i)
        diskNo = section.copies[i].diskNo;
    return diskNo;
}

int DiscDriveForStaging(const UpdateSection& section, int index, char* drive)
{
    int diskNo = DiscOfCopyItem(section, index);
    return diskNo != 0 && FindDiskDrive(diskNo, section.copies[index].path, drive);
}
