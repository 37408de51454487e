#include "job/job_seal.h"

#include <windows.h>

#include <sddl.h>

#include "support/text_format.h"

namespace {

const char SealKeyName[] = "SOFTWARE\\FA2 Updater";
// Owner Administrators; only Administrators and SYSTEM may change it, users may read; nothing inherited from above.
const char SealKeySecurity[] = "O:BAG:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;BU)";
// A seal is one record per step of a job; a value this large is no seal of ours.
const DWORD SealSizeLimit = 64u * 1024 * 1024;
const DWORD ChangeRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER |
                           GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The value's name: the game, as its own registry key names it.
char SealName[600];

int IsAdministration(PSID sid)
{
    return sid && IsValidSid(sid) &&
           (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

int IsLinkKey(HKEY key)
{
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return status != ERROR_FILE_NOT_FOUND || type == REG_LINK;
}

int KeyIsSafe(HKEY key)
{
    if (IsLinkKey(key))
        return 0;
    DWORD size = 0;
    SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (RegGetKeySecurity(key, parts, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 65536)
        return 0;
    void* descriptor = LocalAlloc(LMEM_FIXED, size);
    int safe = descriptor && RegGetKeySecurity(key, parts, descriptor, &size) == ERROR_SUCCESS &&
               SealKeySecurityIsSafe(descriptor);
    if (descriptor)
        LocalFree(descriptor);
    return safe;
}

// The key, opened as itself (a link is not followed) and checked; `create` makes it, with its own access list,
// where there is none. SealNone, SealFound (the key is in `*key`) or SealKeyUnsafe.
SealState OpenSealKey(REGSAM access, int create, HKEY* key)
{
    access |= KEY_WOW64_64KEY | READ_CONTROL | KEY_QUERY_VALUE;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SealKeyName, REG_OPTION_OPEN_LINK, access, key);
    if (status == ERROR_FILE_NOT_FOUND && create) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(SealKeySecurity, SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            return SealKeyUnsafe;
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        HKEY made = nullptr;
        DWORD disposition = 0;
        status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SealKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 access | WRITE_DAC | WRITE_OWNER, &attributes, &made, &disposition);
        // Set once more: Wine makes every key with its default list, whatever it is given.
        if (status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY)
            RegSetKeySecurity(made, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
        if (status == ERROR_SUCCESS)
            RegCloseKey(made);
        // Opened again as itself: a key made by someone else meanwhile is judged like any other.
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SealKeyName, REG_OPTION_OPEN_LINK, access, key);
    }
    if (status == ERROR_FILE_NOT_FOUND)
        return SealNone;
    if (status != ERROR_SUCCESS)
        return SealKeyUnsafe;
    if (!KeyIsSafe(*key)) {
        RegCloseKey(*key);
        return SealKeyUnsafe;
    }
    return SealFound;
}

}  // namespace

void NameJobSeal(const char* company, const char* gameDir)
{
    FormatText(SealName, sizeof SealName, "%s\\%s", company, gameDir);
}

int SealKeySecurityIsSafe(void* descriptor)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL list = nullptr;
    if (!IsValidSecurityDescriptor(descriptor) || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !IsAdministration(owner) || !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted))
        return 0;
    if (!present || !list)
        return 0;  // no list at all lets everyone in
    ACL_SIZE_INFORMATION info;
    if (!GetAclInformation(list, &info, sizeof info, AclSizeInformation))
        return 0;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(list, i, (void**)&header))
            return 0;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;  // takes rights away, or is only for the keys below
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return 0;  // a kind the rule does not read
        ACCESS_ALLOWED_ACE* allowed = (ACCESS_ALLOWED_ACE*)header;
        if ((allowed->Mask & ChangeRights) && !IsAdministration((PSID)&allowed->SidStart))
            return 0;
    }
    return 1;
}

SealState ReadJobSeal(unsigned char** bytes, size_t* size)
{
    *bytes = nullptr;
    *size = 0;
    HKEY key;
    SealState state = OpenSealKey(KEY_QUERY_VALUE, 0, &key);
    if (state != SealFound)
        return state;
    DWORD type = 0, length = 0;
    LONG status = RegQueryValueExA(key, SealName, nullptr, &type, nullptr, &length);
    if (status == ERROR_FILE_NOT_FOUND)
        state = SealNone;
    else if (status != ERROR_SUCCESS || type != REG_BINARY || length == 0 || length > SealSizeLimit)
        state = SealUnreadable;
    else {
        *bytes = (unsigned char*)GlobalAlloc(GMEM_FIXED, length);
        DWORD got = length;
        if (!*bytes || RegQueryValueExA(key, SealName, nullptr, &type, *bytes, &got) != ERROR_SUCCESS ||
            got != length) {
            if (*bytes)
                GlobalFree(*bytes);
            *bytes = nullptr;
            state = SealUnreadable;
        } else {
            *size = length;
        }
    }
    RegCloseKey(key);
    return state;
}

int WriteJobSeal(const unsigned char* bytes, size_t size, int first)
{
    HKEY key;
    if (size == 0 || size > SealSizeLimit || OpenSealKey(KEY_SET_VALUE, 1, &key) != SealFound)
        return 0;
    int taken = RegQueryValueExA(key, SealName, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
    int written = SealName[0] && !(first && taken) &&
                  RegSetValueExA(key, SealName, 0, REG_BINARY, bytes, (DWORD)size) == ERROR_SUCCESS &&
                  RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

int RemoveJobSeal()
{
    HKEY key;
    SealState state = OpenSealKey(KEY_SET_VALUE, 0, &key);
    if (state == SealNone)
        return 1;
    if (state != SealFound)
        return 0;
    LONG status = RegDeleteValueA(key, SealName);
    int removed = (status == ERROR_SUCCESS && RegFlushKey(key) == ERROR_SUCCESS) || status == ERROR_FILE_NOT_FOUND;
    RegCloseKey(key);
    return removed;
}
