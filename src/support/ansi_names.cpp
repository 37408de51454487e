#include "ansi_names.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>

#include "file_calls.h"

namespace {

const UINT JapaneseCodePage = 932;

// The process's user: the SID and its text form ("S-1-5-21-…").
struct UserSid {
    DWORD tokenUser[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE + 3) / 4];
    PSID sid = nullptr;
    wchar_t* text = nullptr;  // from ConvertSidToStringSidW
    UserSid() = default;
    UserSid(const UserSid&) = delete;
    UserSid& operator=(const UserSid&) = delete;
    ~UserSid()
    {
        if (text)
            LocalFree(text);
    }
};

int ReadUserSid(UserSid* user)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    DWORD length = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, user->tokenUser, sizeof user->tokenUser, &length);
    CloseHandle(token);
    if (!ok)
        return 0;
    user->sid = ((TOKEN_USER*)user->tokenUser)->User.Sid;
    return ConvertSidToStringSidW(user->sid, &user->text) != 0;
}

// 1 when `path` is a plain folder (no link to elsewhere) that `user` owns: only then is it ours to use again. A
// folder someone else made there could be read or filled by them.
int IsOwnFolder(const wchar_t* path, PSID user)
{
    HANDLE folder = CreateFileW(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    int own = 0;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(folder, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor) == ERROR_SUCCESS) {
            own = owner && EqualSid(owner, user);
            LocalFree(descriptor);
        }
    }
    CloseHandle(folder);
    return own;
}

// Appends `text` to the wide string in `buffer` (`capacity` units); 0 when it does not fit.
int AppendWide(wchar_t* buffer, size_t capacity, const wchar_t* text)
{
    size_t length = wcslen(buffer), add = wcslen(text);
    if (length + add + 1 > capacity)
        return 0;
    memcpy(buffer + length, text, (add + 1) * sizeof(wchar_t));
    return 1;
}

// "<Windows>\Temp\UPD-<SID>\", made with an owner and access list of the user alone when it is missing. The
// system's temporary folder has an ASCII name on every installation, so its ANSI form is lossless; the elevated
// updater may always create folders there.
DWORD PrivateTempFolder(char* folder, DWORD size)
{
    UserSid user;
    wchar_t path[MAX_PATH + 1];
    UINT windows = GetSystemWindowsDirectoryW(path, MAX_PATH + 1);
    if (!ReadUserSid(&user) || windows == 0 || windows > MAX_PATH || !AppendWide(path, MAX_PATH, L"\\Temp\\UPD-") ||
        !AppendWide(path, MAX_PATH, user.text))
        return 0;

    wchar_t descriptorText[400] = L"O:";
    if (!AppendWide(descriptorText, 400, user.text) || !AppendWide(descriptorText, 400, L"D:P(A;OICI;FA;;;") ||
        !AppendWide(descriptorText, 400, user.text) || !AppendWide(descriptorText, 400, L")"))
        return 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptorText, SDDL_REVISION_1, &descriptor, nullptr))
        return 0;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    BOOL made = CreateDirectoryW(path, &attributes);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!made && !(error == ERROR_ALREADY_EXISTS && IsOwnFolder(path, user.sid)))
        return 0;
    if (!AppendWide(path, MAX_PATH + 1, L"\\"))
        return 0;
    return LosslessAnsiForm(path, folder, size);
}

}  // namespace

DWORD LosslessAnsiForm(const wchar_t* wide, char* ansi, DWORD size)
{
    // Any character of a path of MAX_PATH units takes at most two bytes in an ANSI code page.
    char form[2 * MAX_PATH + 2];
    wchar_t back[MAX_PATH + 2];
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, -1, form, sizeof form, nullptr, nullptr);
    if (bytes <= 1)
        return 0;
    // A round trip catches both a default character ('?') and a best fit ("é" written as "e").
    if (MultiByteToWideChar(CP_ACP, 0, form, -1, back, MAX_PATH + 2) <= 0 || wcscmp(back, wide) != 0)
        return 0;
    DWORD length = (DWORD)bytes - 1;
    if (length < size)
        memcpy(ansi, form, (size_t)bytes);
    return length;
}

DWORD GetUpdaterTempFolder(char* folder, DWORD size)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0)
        return 0;
    if (length > MAX_PATH)
        return length;  // longer than any path the ANSI calls take
    DWORD ansi = LosslessAnsiForm(temp, folder, size);
    if (ansi)
        return ansi;

    wchar_t shortForm[MAX_PATH + 1];
    DWORD shortLength = GetShortPathNameW(temp, shortForm, MAX_PATH + 1);
    if (shortLength > 0 && shortLength <= MAX_PATH) {
        ansi = LosslessAnsiForm(shortForm, folder, size);
        if (ansi)
            return ansi;
    }
    return PrivateTempFolder(folder, size);
}

void ResolveTargetName(char* target, size_t size)
{
    if (Files.GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES)
        return;
    wchar_t wide[MAX_PATH + 1];
    if (MultiByteToWideChar(JapaneseCodePage, MB_ERR_INVALID_CHARS, target, -1, wide, MAX_PATH + 1) <= 0 ||
        Files.GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES)
        return;
    // Writing through the short name replaces the file under its own name: Wine renames onto the file the short
    // name stands for, and Windows' name tunnelling gives the replacement the long name of the file it replaced.
    wchar_t shortForm[MAX_PATH + 1];
    DWORD shortLength = Files.GetShortPathNameW(wide, shortForm, MAX_PATH + 1);
    if (shortLength == 0 || shortLength > MAX_PATH)
        return;
    char ansi[MAX_PATH + 1];
    DWORD length = LosslessAnsiForm(shortForm, ansi, sizeof ansi);
    // Room for both NULs, which the callers' path buffers keep.
    if (length == 0 || length + 2 > size)
        return;
    memset(target, 0, size);
    memcpy(target, ansi, length);
}
