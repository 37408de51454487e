#include "job/job_links.h"

#include <cstring>

#include "job/job_sink.h"
#include "support/file_calls.h"
#include "support/messages.h"
#include "support/text_format.h"
#include "support/updater_values.h"

char LinkFoundPath[MAX_PATH];

namespace {

const int FinalPathSize = 2 * MAX_PATH;

// The installation and data folders as the system resolves them ("\\?\C:\Games\X"); an empty one holds nothing.
wchar_t JobFolders[2][FinalPathSize];
// And as given: a folder itself is reached as it resolved, a link or not.
wchar_t GivenFolders[2][MAX_PATH];

const DWORD AnyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Handle {
    HANDLE handle;
    explicit Handle(HANDLE h) : handle(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            Files.CloseHandle(handle);
    }
};

int FinalPath(HANDLE handle, wchar_t* path)
{
    DWORD length = Files.GetFinalPathNameByHandleW(handle, path, FinalPathSize, FILE_NAME_NORMALIZED);
    return length > 0 && length < FinalPathSize;
}

wchar_t Folded(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? (wchar_t)(c - L'a' + L'A') : c;
}

// The length of `path` without the separators at its end.
size_t TrimmedLength(const wchar_t* path)
{
    size_t length = (size_t)lstrlenW(path);
    while (length > 0 && path[length - 1] == L'\\')
        --length;
    return length;
}

// `path` is `folder` or lies below it.
int IsWithin(const wchar_t* folder, const wchar_t* path)
{
    size_t length = TrimmedLength(folder);
    if (length == 0)
        return 0;
    for (size_t i = 0; i < length; ++i)
        if (!path[i] || Folded(path[i]) != Folded(folder[i]))
            return 0;
    return path[length] == L'\0' || path[length] == L'\\';
}

// The first link met is the one the box names.
void NoteLink(const wchar_t* path)
{
    if (!LinkFoundPath[0] && !WideCharToMultiByte(CP_ACP, 0, path, -1, LinkFoundPath, MAX_PATH, nullptr, nullptr))
        lstrcpyA(LinkFoundPath, "?");
    SetLastError(LinkFoundError);
}

// The handle opened for `path` is no link and lies inside the job's folders. On Windows a link at the end of `path`
// is opened as itself and carries FILE_ATTRIBUTE_REPARSE_POINT; a junction or link further up shows in the handle's
// final path. Wine 8 (a Unix symbolic link in the prefix's drive) differs: GetFileAttributes marks a folder's link
// as a reparse point and a file's link not at all, and FILE_FLAG_OPEN_REPARSE_POINT is ignored (the handle is the
// target's, without the mark, and deleting through it deletes the target), so there only the final path, the
// target's, gives the link away.
int HandleIsInside(HANDLE handle, const wchar_t* path, int oneName)
{
    BY_HANDLE_FILE_INFORMATION info;
    wchar_t final[FinalPathSize];
    if (!Files.GetFileInformationByHandle(handle, &info) || !FinalPath(handle, final))
        return 0;
    int plain = !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                (!oneName || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks <= 1);
    if (plain && (IsWithin(JobFolders[0], final) || IsWithin(JobFolders[1], final)))
        return 1;
    NoteLink(path);
    return 0;
}

// `path` names one of the job's folders itself.
int IsJobFolder(const wchar_t* path)
{
    for (const wchar_t* folder : GivenFolders)
        if (TrimmedLength(folder) == TrimmedLength(path) && IsWithin(folder, path))
            return 1;
    return 0;
}

HANDLE OpenChecked(const wchar_t* path, DWORD access, DWORD share, int oneName)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (IsJobFolder(path) ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = Files.CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE || HandleIsInside(handle, path, oneName))
        return handle;
    DWORD error = GetLastError();
    Files.CloseHandle(handle);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// The last name of `path` and the folder before it (`folder`, MAX_PATH units; a drive's root keeps its
// separator, "C:" alone being that drive's current folder); 0 for a path without one.
int SplitLast(const wchar_t* path, wchar_t* folder, const wchar_t** name)
{
    int length = lstrlenW(path);
    int at = length - 1;
    while (at >= 0 && path[at] != L'\\' && path[at] != L'/')
        --at;
    if (at <= 0 || at + 1 >= length || at + 1 >= MAX_PATH)
        return 0;
    int kept = at == 2 && path[1] == L':' ? 3 : at;
    memcpy(folder, path, (size_t)kept * sizeof(wchar_t));
    folder[kept] = L'\0';
    *name = path + at + 1;
    return 1;
}

// The folder a new name goes into, checked and held without delete sharing (so that it cannot be renamed away and
// replaced meanwhile), and the new name's full path below its final path.
HANDLE HoldFolderFor(const wchar_t* path, wchar_t* final, const wchar_t** name)
{
    wchar_t folder[MAX_PATH];
    if (!SplitLast(path, folder, name)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // Judged by where the new name lands: the folder a data folder is created in lies outside the job's folders.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (IsJobFolder(folder) ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE held = Files.CreateFileW(folder, FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return held;
    BY_HANDLE_FILE_INFORMATION info;
    size_t length;
    if (!Files.GetFileInformationByHandle(held, &info) || !FinalPath(held, final) ||
        (length = (size_t)lstrlenW(final)) + 2 + (size_t)lstrlenW(*name) > FinalPathSize) {
        Files.CloseHandle(held);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (final[length - 1] != L'\\')
        final[length++] = L'\\';
    lstrcpyW(final + length, *name);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(IsWithin(JobFolders[0], final) || IsWithin(JobFolders[1], final))) {
        Files.CloseHandle(held);
        NoteLink(folder);
        return INVALID_HANDLE_VALUE;
    }
    return held;
}

int SetBasicInfo(HANDLE handle, DWORD attributes, const FILETIME* creation, const FILETIME* lastWrite)
{
    FILE_BASIC_INFO info;
    memset(&info, 0, sizeof info);  // zero times and attributes: left as they are
    info.FileAttributes = attributes;
    if (creation)
        info.CreationTime.QuadPart = ((LONGLONG)creation->dwHighDateTime << 32) | creation->dwLowDateTime;
    if (lastWrite)
        info.LastWriteTime.QuadPart = ((LONGLONG)lastWrite->dwHighDateTime << 32) | lastWrite->dwLowDateTime;
    return Files.SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info) != 0;
}

// The part of `path` that exists now: the path itself, or the nearest folder above it.
int CheckExistingPart(const wchar_t* path)
{
    wchar_t part[MAX_PATH];
    lstrcpynW(part, path, MAX_PATH);
    // Up to the job's folders, not above them: a data folder the job is to create is judged when it is created,
    // by where its name lands.
    while (IsWithin(GivenFolders[0], part) || IsWithin(GivenFolders[1], part)) {
        HANDLE handle = OpenChecked(part, FILE_READ_ATTRIBUTES, AnyShare, 0);
        if (handle != INVALID_HANDLE_VALUE) {
            Files.CloseHandle(handle);
            return 1;
        }
        DWORD error = GetLastError();
        if (error == LinkFoundError)
            return 0;
        const wchar_t* name;
        wchar_t folder[MAX_PATH];
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || !SplitLast(part, folder, &name))
            return 1;  // not the job's to judge: the step that needs it fails and says so
        lstrcpyW(part, folder);
    }
    return 1;
}

int CheckAnsiPath(const char* path, int oneName)
{
    wchar_t wide[MAX_PATH];
    WidenPath(path, wide);
    if (!oneName)
        return CheckExistingPart(wide);
    Handle handle(OpenChecked(wide, FILE_READ_ATTRIBUTES, AnyShare, 1));
    return handle.handle != INVALID_HANDLE_VALUE || GetLastError() != LinkFoundError;
}

// The final path of `folder`, followed once if it is a link (a game moved to another disk and linked back). A data
// folder the job is to create is resolved through the nearest folder above it that is there, its missing names
// kept as they are given. Empty when nothing of it resolves.
void ResolveFolder(const wchar_t* folder, wchar_t* final)
{
    wchar_t part[MAX_PATH];
    lstrcpynW(part, folder, MAX_PATH);
    final[0] = L'\0';
    for (int level = 0; level < 32; ++level) {
        Handle found(Files.CreateFileW(part, FILE_READ_ATTRIBUTES, AnyShare, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (found.handle != INVALID_HANDLE_VALUE) {
            const wchar_t* rest = folder + lstrlenW(part);
            while (*rest == L'\\')
                ++rest;
            if (!FinalPath(found.handle, final) || (size_t)lstrlenW(final) + lstrlenW(rest) + 2 >= FinalPathSize) {
                final[0] = L'\0';
            } else if (*rest) {
                if (final[lstrlenW(final) - 1] != L'\\')
                    lstrcatW(final, L"\\");
                lstrcatW(final, rest);
            }
            return;
        }
        const wchar_t* name;
        wchar_t above[MAX_PATH];
        DWORD error = GetLastError();
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || !SplitLast(part, above, &name))
            return;
        lstrcpyW(part, above);
    }
}

}  // namespace

void WidenPath(const char* path, wchar_t* wide)
{
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH))
        wide[0] = L'\0';
}

int UseJobFolders(const char* installFolder, const char* dataFolder)
{
    const char* folders[] = {installFolder, dataFolder};
    for (int i = 0; i < 2; ++i) {
        JobFolders[i][0] = L'\0';
        wchar_t* wide = GivenFolders[i];
        WidenPath(folders[i], wide);
        if (!wide[0])
            continue;
        ResolveFolder(wide, JobFolders[i]);
    }
    return JobFolders[0][0] != L'\0';
}

HANDLE OpenJobFile(const wchar_t* path, DWORD access, DWORD share)
{
    return OpenChecked(path, access, share, 0);
}

int MoveJobFile(const wchar_t* from, const wchar_t* to)
{
    Handle file(OpenChecked(from, DELETE | SYNCHRONIZE, AnyShare, 0));
    if (file.handle == INVALID_HANDLE_VALUE)
        return 0;
    wchar_t final[FinalPathSize];
    const wchar_t* name;
    Handle folder(HoldFolderFor(to, final, &name));
    if (folder.handle == INVALID_HANDLE_VALUE)
        return 0;
    const wchar_t* given[] = {name, final};
    for (int form = 0; form < 2; ++form) {
        size_t length = (size_t)lstrlenW(given[form]);
        size_t size = sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t);
        unsigned char buffer[sizeof(FILE_RENAME_INFO) + FinalPathSize * sizeof(wchar_t)];
        memset(buffer, 0, sizeof buffer);
        FILE_RENAME_INFO* rename = (FILE_RENAME_INFO*)buffer;
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = form == 0 ? folder.handle : nullptr;
        rename->FileNameLength = (DWORD)(length * sizeof(wchar_t));
        memcpy(rename->FileName, given[form], length * sizeof(wchar_t));
        if (Files.SetFileInformationByHandle(file.handle, FileRenameInfo, rename, (DWORD)size))
            return 1;
        // Wine 8 refuses a rename relative to a folder handle (ERROR_INVALID_PARAMETER); the held folder's final
        // path names the same folder.
        if (GetLastError() != ERROR_INVALID_PARAMETER)
            return 0;
    }
    return 0;
}

int DeleteJobFile(const wchar_t* path)
{
    Handle file(OpenChecked(path, DELETE | SYNCHRONIZE, AnyShare, 0));
    if (file.handle == INVALID_HANDLE_VALUE)
        return 0;
    FILE_DISPOSITION_INFO disposition{TRUE};
    return Files.SetFileInformationByHandle(file.handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

int RemoveJobFolder(const wchar_t* path)
{
    return DeleteJobFile(path);
}

int CreateJobFolder(const wchar_t* path)
{
    wchar_t final[FinalPathSize];
    const wchar_t* name;
    Handle folder(HoldFolderFor(path, final, &name));
    return folder.handle != INVALID_HANDLE_VALUE && Files.CreateDirectoryW(final, nullptr);
}

int SetJobAttributes(const wchar_t* path, DWORD attributes)
{
    Handle file(OpenChecked(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, AnyShare, 1));
    return file.handle != INVALID_HANDLE_VALUE && SetBasicInfo(file.handle, attributes, nullptr, nullptr);
}

int SetJobTimes(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite)
{
    Handle file(OpenChecked(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, AnyShare, 1));
    return file.handle != INVALID_HANDLE_VALUE && SetBasicInfo(file.handle, 0, creation, lastWrite);
}

HANDLE CreateJobFile(const wchar_t* path, DWORD access, DWORD flagsAndAttributes)
{
    wchar_t final[FinalPathSize];
    const wchar_t* name;
    Handle folder(HoldFolderFor(path, final, &name));
    if (folder.handle == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // CREATE_NEW fails on any name that is there, a link's included: a new file is never a link.
    return Files.CreateFileW(final, access, 0, nullptr, CREATE_NEW, flagsAndAttributes, nullptr);
}

int PlanIsFreeOfLinks(const JobPlan* plan)
{
    char folder[MAX_PATH];
    for (int i = 0; i < plan->writeCount; ++i) {
        const PlannedWrite& write = plan->writes[i];
        if (write.dropped)
            continue;
        FolderOfPath(write.target, folder);
        if (!CheckAnsiPath(folder, 0) || !CheckAnsiPath(write.target, 0))
            return 0;
    }
    for (int i = 0; i < plan->folderCount; ++i)
        if (!CheckAnsiPath(plan->folders[i].path, 0))
            return 0;
    for (int i = 0; i < plan->changeCount; ++i)
        if (!CheckAnsiPath(plan->changes[i].path, 1))
            return 0;
    return 1;
}

void ShowLinkFound()
{
    char text[1024];
    FormatText(text, sizeof text, LinkFoundFormat, LinkFoundPath, ModeWord);
    JobShowError(text);
}
