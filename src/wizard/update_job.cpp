#include "wizard/update_job.h"

#include <shellapi.h>

#include <cstdint>
#include <cstring>

#include "archive/archive.h"
#include "run/updater_values.h"
#include "settings/setup_settings.h"
#include "support/ansi_names.h"
#include "support/cp932.h"
#include "support/decimal.h"
#include "support/disk_space.h"
#include "support/globals.h"
#include "support/info_text.h"
#include "support/messages.h"
#include "support/path_join.h"
#include "support/relative_path.h"
#include "support/settings_access.h"
#include "support/system_dlls.h"
#include "support/text_format.h"
#include "support/ui_text.h"
#include "support/whole_file.h"
#include "wizard/update_section.h"
#include "wizard/wizard.h"

namespace {


void EnableButton(HWND dialog, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, id), enable);
}

void ShowWriteFailure()
{
    ShowUpdaterError("ファイルの書き込みに失敗しました");
}

void ShowCopyFailure(const char* path)
{
    char text[1024];
    FormatText(text, sizeof text, "SETUP.INI : \"%s\" のコピーに失敗しました", path);
    ShowUpdaterError(text);
}

// The drive text of a path: its first two bytes ("C:" for C:\Games\X). 1 when they are a letter and a colon,
// the only form the free-space query can answer for.
int DriveOfPath(const char* path, char* drive)
{
    drive[0] = path[0];
    drive[1] = path[0] ? path[1] : '\0';
    drive[2] = '\0';
    char letter = (char)(drive[0] | 0x20);
    return letter >= 'a' && letter <= 'z' && drive[1] == ':';
}

// A path buffer of PathBufferSize bytes, zero-filled, holding `path`; 0 when it does not fit with both NULs.
int CopyPath(char* buffer, const char* path)
{
    memset(buffer, 0, PathBufferSize);
    size_t length = strnlen(path, PathBufferSize);
    if (length + 2 > (size_t)PathBufferSize)
        return 0;
    memcpy(buffer, path, length);
    return 1;
}

// 1 when the target's attributes cannot be read because nothing of that name exists.
int IsMissingPathError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// RequiredDiskSpace in bytes. A negative value asks for the unsigned 32-bit number it has always meant; values of
// 4 GiB and more are taken in full rather than wrapped.
uint64_t RequiredBytes(const char* text)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '-')
        return (uint32_t)ParseSignedDecimal(text);
    return ParseUnsignedDecimal64(text);
}

// Step 1. 1 to go on; 0 after the shortage page was set up. A drive that cannot be asked (an installation folder
// without a drive letter) skips the test: the writes then fail cleanly if the disk is really full.
int InstallDriveHasRoom(HWND dialog)
{
    char value[260];
    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    uint64_t required = RequiredBytes(value);
    if (required == 0)
        return 1;
    char drive[3];
    uint64_t available = 0, total = 0;
    if (!DriveOfPath(InstallRecord.InstPath, drive) || !QueryDriveFreeSpace(drive, &available, &total, nullptr))
        return 1;
    if (available >= required)
        return 1;
    SetInfoText(dialog, "ディスク容量が足りません。\r%s ドライブに %I64u バイトの空き容量が必要です", drive,
                required - available);
    EnableButton(dialog, WizardBackButton, TRUE);
    EnableButton(dialog, WizardNextButton, FALSE);
    EnableButton(dialog, WizardCancelButton, TRUE);
    return 0;
}

// Step 6 for one item: 1 to go on, 0 after the write-failure box.
int ApplyUpdateItem(const UpdateItem& item, int overwriteOnly)
{
    // DataFolder is joined below the installation (or data) folder of every item.
    if (item.refused || !IsPathInsideFolder(DataFolder)) {
        ShowWriteFailure();
        return 0;
    }
    const char* base = InstallRecord.InstPath;
    if (item.kind == UpdateKind::Data) {
        // Never write relative to whatever the current folder happens to be.
        if (!IsAbsolutePath(InstallRecord.DataPath)) {
            ShowWriteFailure();
            return 0;
        }
        base = InstallRecord.DataPath;
    }

    char target[PathBufferSize];
    if (!CopyPath(target, base) || !AppendPathName(target, sizeof target, DataFolder)) {
        ShowWriteFailure();
        return 0;
    }
    CreateDirectoryA(target, nullptr);  // one level; "already exists" and every other failure are ignored
    if (!AppendPathName(target, sizeof target, item.path)) {
        ShowWriteFailure();
        return 0;
    }
    ResolveTargetName(target, sizeof target);

    if (overwriteOnly || item.kind == UpdateKind::Overwrite) {
        DWORD attributes = GetFileAttributesA(target);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (IsMissingPathError(GetLastError()))
                return 1;
            ShowWriteFailure();
            return 0;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return 1;
    }

    if (item.kind == UpdateKind::Data) {
        DWORD size = 0;
        void* data = LoadWholeFile(target, &size);
        if (data) {
            SaveWholeFile(target, data, size, nullptr);  // the result is not examined
            GlobalFree(data);
            return 1;
        }
        // Only a missing file comes from the archive; an existing one that cannot be read whole (over 4 GiB,
        // locked, no memory) is the player's data and stays exactly as it is. A folder fails in the extraction.
        DWORD attributes = GetFileAttributesA(target);
        if (attributes == INVALID_FILE_ATTRIBUTES ? !IsMissingPathError(GetLastError())
                                                  : !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return 1;
    }

    int32_t nameOffset = item.nameOffset;
    if (nameOffset < 0 || (size_t)nameOffset > strnlen(item.path, sizeof item.path - 1))
        nameOffset = 0;
    if (!ExtractEntry(UpdateArchive, item.path + nameOffset, target, item.kind == UpdateKind::Update)) {
        ShowWriteFailure();
        return 0;
    }
    return 1;
}

// Length of the folder part of `path`, its last separator included; a 0x5C trail byte is no separator.
size_t FolderPartLength(const char* path)
{
    size_t folder = 0;
    for (const char* p = path; *p; p += Cp932CharLength(p))
        if (Cp932CharLength(p) == 1 && (*p == '\\' || *p == '/'))
            folder = (size_t)(p - path) + 1;
    return folder;
}

void ClearReadOnlyMark(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    attributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    SetFileAttributesA(path, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// A folder copy puts every match of `source` into `destination` under its own name. Walk the disc's side and
// clear the read-only mark that disc files bring along on each copied file, so the game can write them. Each
// level adds at least two bytes to a path of at most 259, which bounds the depth.
void ClearCopiedReadOnly(const char* source, const char* destination)
{
    size_t folderLength = FolderPartLength(source);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(source, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        char copied[PathBufferSize];
        if (!CopyPath(copied, destination) || !AppendPathName(copied, sizeof copied, found.cFileName))
            continue;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ClearReadOnlyMark(copied);
            continue;
        }
        char inner[PathBufferSize];
        memset(inner, 0, sizeof inner);
        if (folderLength >= sizeof inner)
            continue;
        memcpy(inner, source, folderLength);
        if (AppendPathName(inner, sizeof inner, found.cFileName) && AppendPathName(inner, sizeof inner, "*"))
            ClearCopiedReadOnly(inner, copied);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// A copy onto a full drive empties the installed file and reports itself as a user abort: weigh the file first.
// 1 to go on (also when a size cannot be asked); 0 after the shortage box.
int DestinationHasRoomFor(const char* source)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(source, GetFileExInfoStandard, &data))
        return 1;
    uint64_t size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    char drive[3];
    uint64_t available = 0, total = 0;
    if (!DriveOfPath(InstallRecord.InstPath, drive) || !QueryDriveFreeSpace(drive, &available, &total, nullptr))
        return 1;
    if (size <= available)
        return 1;
    char text[1024];
    FormatText(text, sizeof text, DiskShortageFormat, drive, size - available);
    ShowUpdaterError(text);
    return 0;
}

// Step 7 for one item: 1 to go on; 0 when the dialog is to end (after any message that belongs to the failure).
int CopyFromDisc(HWND dialog, const CopyItem& item, char* diskDrive)
{
    if (item.refused || item.diskNo < 0 || item.diskNo > 9) {
        ShowCopyFailure(item.path);
        return 0;
    }
    if (item.diskNo != 0) {
        if (!FindDiskDrive(dialog, item.diskNo, item.path, diskDrive))
            return 0;
    } else if (!diskDrive[0]) {
        // Disk 0 means "the drive found last"; before any search there is none to copy from.
        ShowCopyFailure(item.path);
        return 0;
    }

    char source[PathBufferSize];
    char destination[PathBufferSize];
    if (!CopyPath(source, diskDrive) || !AppendPathName(source, sizeof source, item.path) ||
        !CopyPath(destination, InstallRecord.InstPath)) {
        ShowCopyFailure(item.path);
        return 0;
    }
    // A source that cannot be examined counts as a folder: wildcard sources such as DATA\*.dat rely on it.
    DWORD sourceAttributes = GetFileAttributesA(source);
    int fileCopy = sourceAttributes != INVALID_FILE_ATTRIBUTES && !(sourceAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (fileCopy) {
        if (!AppendPathName(destination, sizeof destination, item.path)) {
            ShowCopyFailure(item.path);
            return 0;
        }
        if (!DestinationHasRoomFor(source))
            return 0;
    }

    SetInfoText(dialog, "%s をコピーしています", item.path);
    SHFILEOPSTRUCTA operation;
    memset(&operation, 0, sizeof operation);
    operation.hwnd = dialog;
    operation.wFunc = FO_COPY;
    operation.pFrom = source;
    operation.pTo = destination;
    operation.fFlags = fileCopy ? (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR)
                                : (FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI);
    int result = CallShFileOperation(&operation);
    if (operation.fAnyOperationsAborted)
        return 0;  // the user stopped it in the shell's own window
    if (result != 0) {
        ShowCopyFailure(item.path);
        return 0;
    }
    SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    if (!fileCopy)
        ClearCopiedReadOnly(source, InstallRecord.InstPath);
    return 1;
}

void ShowFinished(HWND dialog)
{
    SetInfoText(dialog, "%sは完了しました", ModeWord);
    SetControlText(dialog, WizardNextButton, "完了");
    EnableButton(dialog, WizardNextButton, TRUE);
    SetFocus(GetDlgItem(dialog, WizardNextButton));
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    UpdateFinished = 1;
}

}  // namespace

int FindDiskDrive(HWND dialog, int diskNo, const char* itemPath, char* drive)
{
    // The check path has the same length on every drive letter: one that cannot be formed refuses the item
    // instead of counting as "no disc", which would prompt for ever.
    char checkPath[PathBufferSize];
    if (diskNo < 0 || diskNo >= DiskCheckFileSlots || !CopyPath(checkPath, "A:") ||
        !AppendPathName(checkPath, sizeof checkPath, SetupSettings.DiskCheckFile[diskNo])) {
        ShowCopyFailure(itemPath);
        return 0;
    }
    for (;;) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            char root[3] = {letter, ':', '\0'};
            if (GetDriveTypeA(root) != DRIVE_CDROM)
                continue;
            checkPath[0] = letter;
            if (GetFileAttributesA(checkPath) != INVALID_FILE_ATTRIBUTES) {
                memcpy(drive, root, sizeof root);
                return 1;
            }
        }
        char text[1024];
        FormatText(text, sizeof text, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい", GameTitle, diskNo);
        if (ShowTextBox(dialog, text, WindowCaption, MB_OKCANCEL) != IDOK)
            return 0;
    }
}

void RunUpdateJob(HWND dialog)
{
    UpdateFinished = 0;
    if (!InstallDriveHasRoom(dialog))
        return;

    SetInfoText(dialog, "%sを実行しています", ModeWord);
    EnableButton(dialog, WizardBackButton, FALSE);
    EnableButton(dialog, WizardNextButton, FALSE);
    EnableButton(dialog, WizardCancelButton, FALSE);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));

    char value[260];
    int overwriteOnly = ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseSignedDecimal(value);

    ParseUpdateSection();
    if (!UpdateKeysPresent && !CopyKeysPresent) {
        ShowUpdaterError("No 'UpdateFileXX' and 'CopyFileXX'");
        EndDialog(dialog, -1);
        return;
    }
    if (UpdateListCount == 0 && CopyListCount == 0) {
        ShowUpdaterError("アップデートする必要のあるファイルはありません");
        ShowFinished(dialog);
        return;
    }

    for (int i = 0; i < UpdateListCount && i < UpdateListCapacity; ++i) {
        if (!ApplyUpdateItem(UpdateList[i], overwriteOnly)) {
            EndDialog(dialog, -1);
            return;
        }
    }

    char diskDrive[3] = "";  // the drive the latest disc search found; copies with disk 0 use it too
    for (int i = 0; i < CopyListCount && i < CopyListCapacity; ++i) {
        if (!CopyFromDisc(dialog, CopyList[i], diskDrive)) {
            EndDialog(dialog, -1);
            return;
        }
    }

    ShowFinished(dialog);
}
