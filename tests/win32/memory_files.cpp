#include "memory_files.h"

#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "support/file_calls.h"

namespace {

enum NodeKind { PlainFile, PlainFolder, JunctionLink, FileSymlink, FolderSymlink };

struct Node;
typedef std::shared_ptr<Node> NodePtr;

struct Node {
    NodeKind kind;
    std::string data;
    DWORD attributes = 0;
    uint64_t created = 0, written = 0;
    int links = 0;
    std::wstring target;  // a link's, as given
    std::string owner;
    uint64_t index = 0;
    std::map<std::wstring, std::pair<std::wstring, NodePtr>> children;  // upper-cased name -> (name, node)
    bool IsFolder() const { return kind == PlainFolder; }
    bool IsLink() const { return kind == JunctionLink || kind == FileSymlink || kind == FolderSymlink; }
};

struct Open {
    NodePtr node;
    std::weak_ptr<Node> parent;
    std::wstring name, path;  // path: the canonical path it was opened by ("C:\a\b")
    DWORD access, share;
    uint64_t position = 0;
    bool asLink = false;
    bool find = false;
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
};

struct State {
    CRITICAL_SECTION lock;
    std::map<std::wstring, NodePtr> drives;
    std::map<uintptr_t, Open> opens;
    uintptr_t nextHandle = 0x7000;
    uint64_t clock = 0x01D6000000000000ull, nextIndex = 1;
    int calls = 0, failAt = 0;
    MemoryFiles::Failure failure = MemoryFiles::None;
    bool killed = false, flushFailed = false;
    std::string owner = "Administrators";
} *S;

struct Locked {
    Locked() { EnterCriticalSection(&S->lock); }
    ~Locked() { LeaveCriticalSection(&S->lock); }
};

std::wstring Upper(const std::wstring& text)
{
    std::wstring out = text;
    for (wchar_t& c : out)
        if (c >= L'a' && c <= L'z')
            c = (wchar_t)(c - L'a' + L'A');
    return out;
}

std::wstring Wide(const std::string& text)
{
    wchar_t buffer[1024];
    if (!MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, buffer, 1024))
        return L"";
    return buffer;
}

std::string Narrow(const std::wstring& text)
{
    char buffer[2048];
    if (!WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr))
        return "?";
    return buffer;
}

std::vector<std::wstring> Split(std::wstring path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        path = path.substr(4);
    std::vector<std::wstring> parts;
    std::wstring part;
    for (wchar_t c : path) {
        if (c == L'\\' || c == L'/') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

// What the elevated updater creates belongs to the Administrators group, as on Windows.
const char ProcessOwner[] = "Administrators";

NodePtr NewNode(NodeKind kind, const std::string& owner = S->owner)
{
    NodePtr node = std::make_shared<Node>();
    node->kind = kind;
    node->created = node->written = S->clock++;
    node->owner = owner;
    node->index = S->nextIndex++;
    return node;
}

// Where a path leads: the folder its last name is in, that name, and what is there (null when nothing is).
struct Place {
    NodePtr parent, node;
    std::wstring name, path;
    DWORD error = 0;
};

// Links are followed on the way, and at the end when `followLast`, as the system follows them.
Place Resolve(const std::wstring& given, bool followLast, int depth = 0)
{
    Place place;
    std::vector<std::wstring> parts = Split(given);
    if (parts.empty() || depth > 16 || !S->drives.count(Upper(parts[0]))) {
        place.error = depth > 16 ? ERROR_CANT_RESOLVE_FILENAME : ERROR_PATH_NOT_FOUND;
        return place;
    }
    NodePtr folder = S->drives[Upper(parts[0])];
    std::wstring path = Upper(parts[0]);
    if (parts.size() == 1) {
        place.node = folder;
        place.path = path;
        return place;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        auto child = folder->children.find(Upper(parts[i]));
        if (child == folder->children.end()) {
            if (!last) {
                place.error = ERROR_PATH_NOT_FOUND;
                return place;
            }
            place.parent = folder;
            place.name = parts[i];
            place.path = path + L"\\" + parts[i];
            place.error = ERROR_FILE_NOT_FOUND;
            return place;
        }
        NodePtr node = child->second.second;
        std::wstring name = child->second.first;
        if (node->IsLink() && (!last || followLast)) {
            std::wstring rest = node->target;
            for (size_t j = i + 1; j < parts.size(); ++j)
                rest += L"\\" + parts[j];
            return Resolve(rest, followLast, depth + 1);
        }
        if (last) {
            place.parent = folder;
            place.node = node;
            place.name = name;
            place.path = path + L"\\" + name;
            return place;
        }
        if (!node->IsFolder()) {
            place.error = ERROR_PATH_NOT_FOUND;
            return place;
        }
        folder = node;
        path += L"\\" + name;
    }
    return place;
}

// A mutating call: 0 when an injected failure stops it (the error set).
bool Mutating(bool grows = false, bool flush = false)
{
    if (S->killed) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    ++S->calls;
    if (!S->failAt || S->calls < S->failAt)
        return true;
    switch (S->failure) {
    case MemoryFiles::Kill:
        S->killed = true;
        SetLastError(ERROR_NOT_READY);
        return false;
    case MemoryFiles::DiskFull:
        if (!grows)
            return true;
        SetLastError(ERROR_DISK_FULL);
        return false;
    case MemoryFiles::FlushFails:
        if (!flush || S->flushFailed)
            return true;
        S->flushFailed = true;
        SetLastError(ERROR_IO_DEVICE);
        return false;
    default:
        return true;
    }
}

bool Dead()
{
    if (S->killed)
        SetLastError(ERROR_NOT_READY);
    return S->killed;
}

const DWORD ReadAccess = GENERIC_READ | FILE_READ_DATA | GENERIC_ALL;
const DWORD WriteAccess = GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_ALL;
const DWORD DeleteAccess = DELETE | GENERIC_ALL;

// The open handles of `node` allow `access` with `share`.
bool Shared(const NodePtr& node, DWORD access, DWORD share)
{
    for (auto& entry : S->opens) {
        const Open& open = entry.second;
        if (open.find || open.node != node)
            continue;
        if (((access & ReadAccess) && !(open.share & FILE_SHARE_READ)) ||
            ((access & WriteAccess) && !(open.share & FILE_SHARE_WRITE)) ||
            ((access & DeleteAccess) && !(open.share & FILE_SHARE_DELETE)) ||
            ((open.access & ReadAccess) && !(share & FILE_SHARE_READ)) ||
            ((open.access & WriteAccess) && !(share & FILE_SHARE_WRITE)) ||
            ((open.access & DeleteAccess) && !(share & FILE_SHARE_DELETE)))
            return false;
    }
    return true;
}

Open* Find(HANDLE handle)
{
    auto found = S->opens.find((uintptr_t)handle);
    return found == S->opens.end() ? nullptr : &found->second;
}

HANDLE AddOpen(const Open& open)
{
    uintptr_t handle = S->nextHandle += 4;
    S->opens[handle] = open;
    return (HANDLE)handle;
}

DWORD AttributesOf(const NodePtr& node)
{
    DWORD attributes = node->attributes;
    if (node->kind == PlainFolder || node->kind == JunctionLink || node->kind == FolderSymlink)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (node->IsLink())
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

void Unlink(const NodePtr& parent, const std::wstring& name)
{
    auto child = parent->children.find(Upper(name));
    if (child == parent->children.end())
        return;
    child->second.second->links--;
    parent->children.erase(child);
}

void Link(const NodePtr& parent, const std::wstring& name, const NodePtr& node)
{
    parent->children[Upper(name)] = std::make_pair(name, node);
    node->links++;
}

FILETIME Time(uint64_t value)
{
    FILETIME time;
    time.dwLowDateTime = (DWORD)value;
    time.dwHighDateTime = (DWORD)(value >> 32);
    return time;
}

HANDLE WINAPI MemCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                             DWORD flags, HANDLE)
{
    Locked locked;
    if (Dead())
        return INVALID_HANDLE_VALUE;
    bool asLink = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    bool creates = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    Place place = Resolve(path, !asLink && disposition != CREATE_NEW);
    if (place.error && place.error != ERROR_FILE_NOT_FOUND) {
        SetLastError(place.error);
        return INVALID_HANDLE_VALUE;
    }
    if (place.node && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!place.node && !creates) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (place.node && place.node->kind != PlainFile && !place.node->IsLink() && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (place.node && (access & WriteAccess) && (place.node->attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (place.node && !Shared(place.node, access, share)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (!place.node) {
        if (!Mutating(true))
            return INVALID_HANDLE_VALUE;
        place.node = NewNode(PlainFile, ProcessOwner);
        place.node->attributes = flags & 0xFFFF & ~(DWORD)FILE_ATTRIBUTE_NORMAL;
        Link(place.parent, place.name, place.node);
    }
    Open open;
    open.node = place.node;
    open.parent = place.parent;
    open.name = place.name;
    open.path = place.path;
    open.access = access;
    open.share = share;
    open.asLink = asLink;
    SetLastError(0);
    return AddOpen(open);
}

HANDLE WINAPI MemCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE model)
{
    return MemCreateFileW(Wide(path).c_str(), access, share, security, disposition, flags, model);
}

BOOL WINAPI MemReadFile(HANDLE handle, LPVOID bytes, DWORD count, LPDWORD got, LPOVERLAPPED at)
{
    Locked locked;
    Open* open = Find(handle);
    if (Dead() || !open || open->node->kind != PlainFile || !(open->access & ReadAccess)) {
        if (!S->killed)
            SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t from = at ? ((uint64_t)at->OffsetHigh << 32 | at->Offset) : open->position;
    const std::string& data = open->node->data;
    DWORD n = from >= data.size() ? 0 : (DWORD)std::min<uint64_t>(count, data.size() - from);
    memcpy(bytes, data.data() + from, n);
    if (!at)
        open->position = from + n;
    *got = n;
    return TRUE;
}

BOOL WINAPI MemWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    Locked locked;
    Open* open = Find(handle);
    if (!open || open->node->kind != PlainFile || !(open->access & WriteAccess)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Mutating(open->position + count > open->node->data.size()))
        return FALSE;
    std::string& data = open->node->data;
    if (data.size() < open->position + count)
        data.resize(open->position + count);
    memcpy(&data[open->position], bytes, count);
    open->position += count;
    open->node->written = S->clock++;
    *written = count;
    return TRUE;
}

BOOL WINAPI MemSetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER now, DWORD method)
{
    Locked locked;
    Open* open = Find(handle);
    if (Dead() || !open)
        return FALSE;
    int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? (int64_t)open->position
                                                                      : (int64_t)open->node->data.size();
    open->position = (uint64_t)(base + distance.QuadPart);
    if (now)
        now->QuadPart = (LONGLONG)open->position;
    return TRUE;
}

BOOL WINAPI MemSetEndOfFile(HANDLE handle)
{
    Locked locked;
    Open* open = Find(handle);
    if (!open || !Mutating(open->position > open->node->data.size()))
        return FALSE;
    open->node->data.resize(open->position);
    return TRUE;
}

BOOL WINAPI MemFlushFileBuffers(HANDLE handle)
{
    Locked locked;
    if (!Find(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Mutating(false, true);
}

BOOL WINAPI MemCloseHandle(HANDLE handle)
{
    {
        Locked locked;
        if (S->opens.erase((uintptr_t)handle))
            return TRUE;
    }
    return CloseHandle(handle);
}

BOOL WINAPI MemGetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    Locked locked;
    Open* open = Find(handle);
    if (Dead() || !open)
        return FALSE;
    size->QuadPart = (LONGLONG)open->node->data.size();
    return TRUE;
}

BOOL WINAPI MemSetFileTime(HANDLE handle, const FILETIME* created, const FILETIME*, const FILETIME* written)
{
    Locked locked;
    Open* open = Find(handle);
    if (!open || !Mutating())
        return FALSE;
    if (created)
        open->node->created = (uint64_t)created->dwHighDateTime << 32 | created->dwLowDateTime;
    if (written)
        open->node->written = (uint64_t)written->dwHighDateTime << 32 | written->dwLowDateTime;
    return TRUE;
}

// The attribute calls read the name itself: a link reports itself, as on Windows.
DWORD WINAPI MemGetFileAttributesW(LPCWSTR path)
{
    Locked locked;
    if (Dead())
        return INVALID_FILE_ATTRIBUTES;
    Place place = Resolve(path, false);
    if (!place.node) {
        SetLastError(place.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(place.node);
}

DWORD WINAPI MemGetFileAttributesA(LPCSTR path)
{
    return MemGetFileAttributesW(Wide(path).c_str());
}

BOOL WINAPI MemGetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS, LPVOID out)
{
    Locked locked;
    if (Dead())
        return FALSE;
    Place place = Resolve(Wide(path), false);
    if (!place.node) {
        SetLastError(place.error);
        return FALSE;
    }
    WIN32_FILE_ATTRIBUTE_DATA* data = (WIN32_FILE_ATTRIBUTE_DATA*)out;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = AttributesOf(place.node);
    data->ftCreationTime = Time(place.node->created);
    data->ftLastWriteTime = data->ftLastAccessTime = Time(place.node->written);
    data->nFileSizeLow = (DWORD)place.node->data.size();
    return TRUE;
}

BOOL WINAPI MemCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    Locked locked;
    if (Dead())
        return FALSE;
    Place place = Resolve(path, false);
    if (place.node || place.error != ERROR_FILE_NOT_FOUND) {
        SetLastError(place.node ? ERROR_ALREADY_EXISTS : place.error);
        return FALSE;
    }
    if (!Mutating(true))
        return FALSE;
    Link(place.parent, place.name, NewNode(PlainFolder, ProcessOwner));
    place.parent->written = S->clock++;
    return TRUE;
}

bool Matches(const wchar_t* pattern, const wchar_t* name)
{
    if (!*pattern)
        return !*name;
    if (*pattern == L'*')
        return Matches(pattern + 1, name) || (*name && Matches(pattern, name + 1));
    if (!*name)
        return false;
    wchar_t a = *pattern, b = *name;
    return (a == L'?' || Upper(std::wstring(1, a)) == Upper(std::wstring(1, b))) && Matches(pattern + 1, name + 1);
}

HANDLE WINAPI MemFindFirstFileA(LPCSTR given, LPWIN32_FIND_DATAA data)
{
    Locked locked;
    if (Dead())
        return INVALID_HANDLE_VALUE;
    std::wstring path = Wide(given);
    size_t cut = path.find_last_of(L"\\/");
    std::wstring pattern = cut == std::wstring::npos ? path : path.substr(cut + 1);
    Place folder = Resolve(path.substr(0, cut == std::wstring::npos ? 0 : cut), true);
    if (!folder.node || !folder.node->IsFolder()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Open open;
    open.find = true;
    for (auto& child : folder.node->children) {
        if (!Matches(pattern.c_str(), child.second.first.c_str()))
            continue;
        WIN32_FIND_DATAA found;
        memset(&found, 0, sizeof found);
        const NodePtr& node = child.second.second;
        found.dwFileAttributes = AttributesOf(node);
        found.ftCreationTime = Time(node->created);
        found.ftLastWriteTime = found.ftLastAccessTime = Time(node->written);
        found.nFileSizeLow = (DWORD)node->data.size();
        lstrcpynA(found.cFileName, Narrow(child.second.first).c_str(), MAX_PATH);
        open.found.push_back(found);
    }
    if (open.found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = open.found[0];
    open.next = 1;
    return AddOpen(open);
}

BOOL WINAPI MemFindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data)
{
    Locked locked;
    Open* open = Find(handle);
    if (!open || open->next >= open->found.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *data = open->found[open->next++];
    return TRUE;
}

BOOL WINAPI MemFindClose(HANDLE handle)
{
    Locked locked;
    return S->opens.erase((uintptr_t)handle) ? TRUE : FALSE;
}

BOOL WINAPI MemGetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    Locked locked;
    Open* open = Find(handle);
    if (Dead() || !open)
        return FALSE;
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = AttributesOf(open->node);
    info->ftCreationTime = Time(open->node->created);
    info->ftLastWriteTime = info->ftLastAccessTime = Time(open->node->written);
    info->nFileSizeLow = (DWORD)open->node->data.size();
    info->nNumberOfLinks = (DWORD)open->node->links;
    info->nFileIndexLow = (DWORD)open->node->index;
    return TRUE;
}

BOOL Rename(Open* open, const FILE_RENAME_INFO* rename)
{
    std::wstring name(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    if (rename->RootDirectory) {
        Open* root = Find(rename->RootDirectory);
        if (!root) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        name = root->path + L"\\" + name;
    }
    Place to = Resolve(name, false);
    NodePtr from = open->parent.lock();
    if (!to.parent || !from || !from->children.count(Upper(open->name))) {
        SetLastError(to.error ? to.error : ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (to.node && !rename->ReplaceIfExists) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!Mutating())
        return FALSE;
    if (to.node)
        Unlink(to.parent, to.name);
    NodePtr node = open->node;
    Unlink(from, open->name);
    Link(to.parent, to.name, node);
    from->written = to.parent->written = S->clock++;
    open->parent = to.parent;
    open->name = to.name;
    open->path = to.path;
    return TRUE;
}

BOOL WINAPI MemSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD)
{
    Locked locked;
    Open* open = Find(handle);
    if (!open) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (kind == FileRenameInfo) {
        if (!(open->access & DeleteAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return Rename(open, (const FILE_RENAME_INFO*)info);
    }
    if (kind == FileDispositionInfo) {
        NodePtr parent = open->parent.lock();
        if (!(open->access & DeleteAccess) || !parent) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!((FILE_DISPOSITION_INFO*)info)->DeleteFile)
            return TRUE;
        if (open->node->IsFolder() && !open->node->children.empty()) {
            SetLastError(ERROR_DIR_NOT_EMPTY);
            return FALSE;
        }
        if (open->node->attributes & FILE_ATTRIBUTE_READONLY) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!Mutating())
            return FALSE;
        Unlink(parent, open->name);
        parent->written = S->clock++;
        return TRUE;
    }
    if (kind == FileBasicInfo) {
        const FILE_BASIC_INFO* basic = (const FILE_BASIC_INFO*)info;
        if (!(open->access & (FILE_WRITE_ATTRIBUTES | GENERIC_WRITE | GENERIC_ALL))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!Mutating())
            return FALSE;
        if (basic->FileAttributes)
            open->node->attributes = basic->FileAttributes & ~(DWORD)(FILE_ATTRIBUTE_NORMAL |
                                                                      FILE_ATTRIBUTE_DIRECTORY |
                                                                      FILE_ATTRIBUTE_REPARSE_POINT);
        if (basic->CreationTime.QuadPart)
            open->node->created = (uint64_t)basic->CreationTime.QuadPart;
        if (basic->LastWriteTime.QuadPart)
            open->node->written = (uint64_t)basic->LastWriteTime.QuadPart;
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

DWORD WINAPI MemGetFinalPathNameByHandleW(HANDLE handle, LPWSTR out, DWORD size, DWORD)
{
    Locked locked;
    Open* open = Find(handle);
    if (Dead() || !open)
        return 0;
    std::wstring path = L"\\\\?\\" + open->path;
    if (path.size() + 1 > size)
        return (DWORD)path.size() + 1;
    lstrcpyW(out, path.c_str());
    return (DWORD)path.size();
}

DWORD WINAPI MemSamePathName(LPCWSTR path, LPWSTR out, DWORD size)
{
    Locked locked;
    if (!Resolve(path, true).node) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    DWORD length = (DWORD)lstrlenW(path);
    if (length + 1 > size)
        return length + 1;
    lstrcpyW(out, path);
    return length;
}

BOOL WINAPI MemGetVolumePathNameW(LPCWSTR path, LPWSTR out, DWORD size)
{
    if (size < 4 || !path[0] || path[1] != L':')
        return FALSE;
    out[0] = path[0];
    lstrcpyW(out + 1, L":\\");
    return TRUE;
}

BOOL WINAPI MemGetDiskFreeSpaceW(LPCWSTR, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector, LPDWORD freeClusters,
                                 LPDWORD clusters)
{
    *sectorsPerCluster = 8;
    *bytesPerSector = 512;
    *freeClusters = 1 << 20;
    *clusters = 1 << 21;
    return TRUE;
}

BOOL WINAPI MemGetDiskFreeSpaceExW(LPCWSTR, PULARGE_INTEGER caller, PULARGE_INTEGER total, PULARGE_INTEGER free)
{
    caller->QuadPart = free->QuadPart = 4ull << 30;
    total->QuadPart = 8ull << 30;
    return TRUE;
}

UINT WINAPI MemGetDriveTypeA(LPCSTR root)
{
    char letter = root[0] & ~0x20;
    return letter == 'C' ? DRIVE_FIXED : letter == 'D' ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
}

const FileCalls MemoryCalls = {
    MemCreateFileA,        MemCreateFileW,     MemReadFile,        MemWriteFile,
    MemSetFilePointerEx,   MemSetEndOfFile,    MemFlushFileBuffers, MemCloseHandle,
    MemGetFileSizeEx,      MemSetFileTime,     MemGetFileAttributesA, MemGetFileAttributesW,
    MemGetFileAttributesExA, MemCreateDirectoryW, MemFindFirstFileA, MemFindNextFileA,
    MemFindClose,          MemGetFileInformationByHandle, MemSetFileInformationByHandle,
    MemGetFinalPathNameByHandleW, MemSamePathName, MemSamePathName, MemGetVolumePathNameW,
    MemGetDiskFreeSpaceW,  MemGetDiskFreeSpaceExW, MemGetDriveTypeA,
};

void Describe(std::ostringstream& out, const std::wstring& path, const NodePtr& node, bool times)
{
    const char* kinds[] = {"file", "folder", "junction", "file-symlink", "folder-symlink"};
    out << Narrow(path) << " " << kinds[node->kind] << " attr=" << node->attributes << " links=" << node->links;
    if (times)
        out << " created=" << node->created << " written=" << node->written << " owner=" << node->owner;
    if (node->IsLink())
        out << " -> " << Narrow(node->target);
    if (node->kind == PlainFile)
        out << " [" << node->data << "]";
    out << "\n";
    if (node->IsFolder())
        for (auto& child : node->children)
            Describe(out, path + L"\\" + child.second.first, child.second.second, times);
}

Place ForFixture(const std::string& path)
{
    Place place = Resolve(Wide(path), false);
    EXPECT_TRUE(place.parent && !place.node) << path << ": its folder must be there, and the name free";
    return place;
}

}  // namespace

MemoryFiles::MemoryFiles()
{
    S = new State;
    InitializeCriticalSection(&S->lock);
    S->drives[L"C:"] = NewNode(PlainFolder);
    S->drives[L"D:"] = NewNode(PlainFolder);
    Files = MemoryCalls;
}

MemoryFiles::~MemoryFiles()
{
    Files = SystemFileCalls;
    DeleteCriticalSection(&S->lock);
    delete S;
    S = nullptr;
}

void MemoryFiles::Folder(const std::string& path)
{
    Locked locked;
    S->owner = owner;
    Place place = ForFixture(path);
    if (place.parent)
        Link(place.parent, place.name, NewNode(PlainFolder));
}

void MemoryFiles::File(const std::string& path, const std::string& data, DWORD attributes)
{
    Locked locked;
    S->owner = owner;
    Place place = ForFixture(path);
    if (!place.parent)
        return;
    NodePtr node = NewNode(PlainFile);
    node->data = data;
    node->attributes = attributes;
    Link(place.parent, place.name, node);
}

void MemoryFiles::Junction(const std::string& path, const std::string& target)
{
    Locked locked;
    S->owner = owner;
    Place place = ForFixture(path);
    if (!place.parent)
        return;
    NodePtr node = NewNode(JunctionLink);
    node->target = Wide(target);
    Link(place.parent, place.name, node);
}

void MemoryFiles::SymbolicLink(const std::string& path, const std::string& target, bool folder)
{
    Locked locked;
    S->owner = owner;
    Place place = ForFixture(path);
    if (!place.parent)
        return;
    NodePtr node = NewNode(folder ? FolderSymlink : FileSymlink);
    node->target = Wide(target);
    Link(place.parent, place.name, node);
}

void MemoryFiles::HardLink(const std::string& path, const std::string& existing)
{
    Locked locked;
    Place to = ForFixture(path);
    Place from = Resolve(Wide(existing), false);
    ASSERT_TRUE(from.node && from.node->kind == PlainFile) << existing;
    if (to.parent)
        Link(to.parent, to.name, from.node);
}

void MemoryFiles::Remove(const std::string& path)
{
    Locked locked;
    Place place = Resolve(Wide(path), false);
    ASSERT_TRUE(place.node && place.parent) << path;
    ASSERT_TRUE(!place.node->IsFolder() || place.node->children.empty()) << path;
    Unlink(place.parent, place.name);
}

void MemoryFiles::Rename(const std::string& from, const std::string& to)
{
    Locked locked;
    Place source = Resolve(Wide(from), false);
    Place target = ForFixture(to);
    ASSERT_TRUE(source.node && source.parent) << from;
    if (!target.parent)
        return;
    NodePtr node = source.node;
    Unlink(source.parent, source.name);
    Link(target.parent, target.name, node);
}

bool MemoryFiles::Exists(const std::string& path)
{
    Locked locked;
    return Resolve(Wide(path), false).node != nullptr;
}

std::string MemoryFiles::Read(const std::string& path)
{
    Locked locked;
    Place place = Resolve(Wide(path), true);
    return place.node ? place.node->data : "<none>";
}

DWORD MemoryFiles::Attributes(const std::string& path)
{
    Locked locked;
    Place place = Resolve(Wide(path), false);
    return place.node ? AttributesOf(place.node) : INVALID_FILE_ATTRIBUTES;
}

uint64_t MemoryFiles::LastWrite(const std::string& path)
{
    Locked locked;
    Place place = Resolve(Wide(path), false);
    return place.node ? place.node->written : 0;
}

std::vector<std::string> MemoryFiles::Names(const std::string& folder)
{
    Locked locked;
    Place place = Resolve(Wide(folder), true);
    std::vector<std::string> names;
    if (place.node)
        for (auto& child : place.node->children)
            names.push_back(Narrow(child.second.first));
    return names;
}

std::string MemoryFiles::OwnerOf(const std::string& path)
{
    Locked locked;
    Place place = Resolve(Wide(path), false);
    return place.node ? place.node->owner : "";
}

std::string MemoryFiles::Snapshot(const std::string& folder)
{
    Locked locked;
    Place place = Resolve(Wide(folder), false);
    std::ostringstream out;
    if (place.node)
        Describe(out, place.path, place.node, true);
    return out.str();
}

std::string MemoryFiles::Contents(const std::string& folder)
{
    Locked locked;
    Place place = Resolve(Wide(folder), false);
    std::ostringstream out;
    if (place.node)
        Describe(out, place.path, place.node, false);
    return out.str();
}

void MemoryFiles::FailAt(int call, Failure kind)
{
    Locked locked;
    S->calls = 0;
    S->failAt = call;
    S->failure = kind;
    S->killed = S->flushFailed = false;
}

int MemoryFiles::MutatingCalls()
{
    Locked locked;
    return S->calls;
}

void MemoryFiles::Revive()
{
    Locked locked;
    for (auto it = S->opens.begin(); it != S->opens.end();)
        it = it->second.find ? std::next(it) : S->opens.erase(it);
    S->failAt = 0;
    S->failure = None;
    S->killed = S->flushFailed = false;
}
