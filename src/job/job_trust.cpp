#include "job/job_trust.h"

#include <aclapi.h>

#include <cstring>

#include "support/owned.h"
#include "support/relative_path.h"
#include "job/job_scope.h"
#include "job/journal_format.h"

namespace {

// A token's information of class `kind` into `buffer`; null when it cannot be read.
void* TokenPart(HANDLE token, TOKEN_INFORMATION_CLASS kind, unsigned char* buffer, DWORD size)
{
    DWORD length = 0;
    return GetTokenInformation(token, kind, buffer, size, &length) ? buffer : nullptr;
}

int OwnedByTheUpdater(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return 0;
    HANDLE token = nullptr;
    int ours = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        unsigned char ownerBuffer[256], userBuffer[256];
        TOKEN_OWNER* tokenOwner = (TOKEN_OWNER*)TokenPart(token, TokenOwner, ownerBuffer, sizeof ownerBuffer);
        TOKEN_USER* tokenUser = (TOKEN_USER*)TokenPart(token, TokenUser, userBuffer, sizeof userBuffer);
        ours = owner && IsUpdaterOwner(owner, tokenOwner ? tokenOwner->Owner : nullptr,
                                       tokenUser ? tokenUser->User.Sid : nullptr);
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return ours;
}

// The wide form of an ANSI folder, as the settling widens the journal's paths.
int WidenFolder(const char* folder, wchar_t* wide)
{
    return folder[0] && MultiByteToWideChar(CP_ACP, 0, folder, -1, wide, MAX_PATH) > 0;
}

int IsWideSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

wchar_t FoldedWide(wchar_t c)
{
    if (c == L'/')
        return L'\\';
    return c >= L'a' && c <= L'z' ? (wchar_t)(c - L'a' + L'A') : c;
}

// A target's real name, inside `folder` (UTF-16) by the same rule as the ANSI paths: the part below the folder is
// judged in code page 932, where a character it lacks becomes '?', which no rule treats as anything special.
int WideWithinFolder(const wchar_t* folder, const uint16_t* path)
{
    size_t length = (size_t)lstrlenW(folder);
    while (length > 0 && IsWideSeparator(folder[length - 1]))
        --length;
    if (length == 0)
        return 0;
    for (size_t i = 0; i < length; ++i)
        if (!path[i] || FoldedWide((wchar_t)path[i]) != FoldedWide(folder[i]))
            return 0;
    if (!IsWideSeparator((wchar_t)path[length]))
        return 0;
    wchar_t rest[MAX_PATH];
    size_t count = 0;
    const uint16_t* p = path + length + 1;
    for (; *p && count < MAX_PATH - 1; ++p)
        rest[count++] = (wchar_t)*p;
    if (*p)
        return 0;  // longer than any path the job writes: judged whole or not at all, never by its start
    rest[count] = L'\0';
    char judged[2 * MAX_PATH];
    if (!count || !WideCharToMultiByte(932, 0, rest, -1, judged, sizeof judged, "?", nullptr))
        return 0;
    return IsPathInsideFolder(judged) && !IsWideSeparator(rest[count - 1]);
}

// Inside one of the folders, as written or in its long form (the real name is a long name throughout).
int WideWithin(const char* installFolder, const char* dataFolder, const uint16_t* path)
{
    const char* folders[] = {installFolder, dataFolder};
    for (const char* folder : folders) {
        wchar_t wide[MAX_PATH], longForm[MAX_PATH];
        if (!WidenFolder(folder, wide))
            continue;
        if (WideWithinFolder(wide, path))
            return 1;
        DWORD got = GetLongPathNameW(wide, longForm, MAX_PATH);
        if (got && got < MAX_PATH && WideWithinFolder(longForm, path))
            return 1;
    }
    return 0;
}

int Within(const char* installFolder, const char* dataFolder, const char* path, int folderItself)
{
    return JournalPathWithin(installFolder, path, folderItself) || JournalPathWithin(dataFolder, path, folderItself);
}

// One record after the Job record: every path it holds inside the job's folders, and its staged and backup files
// named as the job names them.
int RecordInScope(const JournalRecord& record, const char* installFolder, const char* dataFolder, uint64_t tag)
{
    switch (record.type) {
    case JournalFolderTime:
        return Within(installFolder, dataFolder, record.path, 1);
    case JournalCreateFolder:
    case JournalAttributes:
        return Within(installFolder, dataFolder, record.path, 0);
    case JournalStaged:
        return Within(installFolder, dataFolder, record.path, 0) && IsJobSiblingName(record.path, tag);
    case JournalReplace:
    case JournalReplaceWide:
        return Within(installFolder, dataFolder, record.path, 0) &&
               Within(installFolder, dataFolder, record.staged, 0) && IsJobSiblingName(record.staged, tag) &&
               Within(installFolder, dataFolder, record.backup, 0) && IsJobSiblingName(record.backup, tag) &&
               (record.type == JournalReplace || WideWithin(installFolder, dataFolder, record.wideTarget));
    case JournalCommitBegins:
    case JournalCommitDone:
    case JournalCommitUndone:
        return 1;
    default:
        return 0;  // a second Job record
    }
}

}  // namespace

int IsUpdaterOwner(PSID owner, PSID tokenOwner, PSID tokenUser)
{
    if (!owner || !IsValidSid(owner))
        return 0;
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid) ||
           (tokenOwner && EqualSid(owner, tokenOwner)) || (tokenUser && EqualSid(owner, tokenUser));
}

// Under Wine every file reports the Unix user's account (the token's user) as its owner, whatever was set, and a
// symbolic link cannot be made through Win32: there the rule passes through the token's user, and the tests judge
// the owner rule with accounts made for them and the link rule with a second name (a hard link).
int JournalFileIsOurs(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return 0;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return info.nNumberOfLinks == 1 && OwnedByTheUpdater(file);
}

JournalTrust CheckJournalRecords(const unsigned char* bytes, size_t size, const char* installFolder,
                                 const char* dataFolder, char* recordedFolder)
{
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes, size);
    if (!NextJournalRecord(&reader, &record))
        return JournalTrusted;  // nothing recorded, nothing to act on
    if (record.type != JournalJob || record.time >= JobTagLimit)
        return JournalNotOurs;
    if (!SameJournalFolder(record.path, installFolder) || !SameJournalFolder(record.staged, dataFolder)) {
        lstrcpynA(recordedFolder, record.path, MAX_PATH);
        return JournalOtherPlace;
    }
    uint64_t tag = record.time;
    while (NextJournalRecord(&reader, &record))
        if (!RecordInScope(record, installFolder, dataFolder, tag))
            return JournalNotOurs;
    return JournalTrusted;
}
