#include "run/startup.h"

#include <cstring>

#include "archive/archive.h"
#include "run/one_copy.h"
#include "run/temp_leftovers.h"
#include "support/updater_values.h"
#include "support/ansi_names.h"
#include "support/decimal.h"
#include "support/globals.h"
#include "support/messages.h"
#include "support/path_join.h"
#include "support/settings_access.h"
#include "support/system_dlls.h"
#include "support/text_format.h"

namespace {

int LocatePayload(HINSTANCE instance)
{
    HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(102), "UPDATE");
    if (!resource)
        return 0;
    DWORD size = SizeofResource(instance, resource);
    if (size == 0)
        return 0;
    HGLOBAL loaded = LoadResource(instance, resource);
    if (!loaded)
        return 0;
    const void* bytes = LockResource(loaded);
    if (!bytes)
        return 0;
    ArchiveImage = (const unsigned char*)bytes;
    ArchiveImageSize = size;
    return 1;
}

// The payload's sums beside it, when the updater carries them; 0 after the damage message.
int LocatePayloadSums(HINSTANCE instance)
{
    HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(PayloadSumsId), "UPDATE");
    if (!resource)
        return 1;
    DWORD size = SizeofResource(instance, resource);
    HGLOBAL loaded = LoadResource(instance, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    return LoadPayloadSums(bytes ? (const unsigned char*)bytes : (const unsigned char*)"", bytes ? size : 0);
}

// Our UPDATE.INI file in the temporary folder: open from its creation to ShutdownUpdater, shared for reading only,
// so no other process can change, rename or delete it while we run elevated.
HANDLE UpdateIniFile = INVALID_HANDLE_VALUE;
int UpdateIniOwned;  // UpdateIniText is a block of ours (a decoded entry), not the image's bytes

void FormatTemporaryName(char* path, const char* folder, unsigned number)
{
    const char digits[] = "0123456789ABCDEF";
    char name[] = "UPD0000.tmp";
    for (int i = 0; i < 4; ++i)
        name[6 - i] = digits[(number >> (4 * i)) & 15];
    lstrcpyA(path, folder);
    lstrcatA(path, name);
}

// Each process writes a file of its own, so a second copy that stops early never takes UPDATE.INI away from a
// first copy. CREATE_NEW makes the name ours alone: nothing planted under it (a link to another file) is opened.
int CreateUpdateIniFile()
{
    char folder[MAX_PATH + 1];
    DWORD length = GetUpdaterTempFolder(folder, MAX_PATH);
    // A temporary path too long for our name (or none) is refused instead of writing into the current folder.
    if (length == 0 || length > MAX_PATH - 14) {
        ShowUpdaterError("一時フォルダーが見つからないか、パスが長すぎます");
        return 0;
    }
    unsigned start = (unsigned)(GetCurrentProcessId() ^ GetTickCount());
    for (unsigned i = 0; i < 0x10000; ++i) {
        FormatTemporaryName(UpdateIniPath, folder, (start + i) & 0xFFFF);
        UpdateIniFile = CreateFileA(UpdateIniPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (UpdateIniFile != INVALID_HANDLE_VALUE) {
            // Ours is open by now, so it is never taken for a leftover.
            RemoveEarlierUpdateIniFiles(folder, (const unsigned char*)UpdateIniText, UpdateIniSize);
            return 1;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION)
            break;
    }
    UpdateIniPath[0] = '\0';
    ShowUpdaterError("一時フォルダーにファイルを作成できません");
    return 0;
}

// UPDATE.INI from the payload: kept in memory, where every later read takes its values from, and written to our
// file for whoever looks at the temporary folder.
int LoadUpdateIni()
{
    uint32_t size = 0;
    const unsigned char* bytes = LoadEntry(UpdateArchive, "UPDATE.INI", &size, &UpdateIniOwned);
    if (!bytes)
        return 0;
    UpdateIniText = (const char*)bytes;
    UpdateIniSize = size;
    if (!CreateUpdateIniFile())
        return 0;
    DWORD written = 0;
    if (!WriteFile(UpdateIniFile, bytes, size, &written, nullptr) || written != size) {
        ShowUpdaterError("一時フォルダーにファイルを作成できません");
        return 0;
    }
    return 1;
}

// Copies an agreement entry into a zero-filled block of its size + 2, so the text ends in two NULs.
int LoadAgreementEntry(const char* name, char** data)
{
    uint32_t size = 0;
    int owned = 0;
    const unsigned char* bytes = LoadEntry(UpdateArchive, name, &size, &owned);
    if (!bytes && PayloadDamageShown)
        return 0;
    if (!bytes) {
        char text[1024];
        FormatText(text, sizeof text, "'%s' not found at UPDATE.FA3", name);
        ShowUpdaterError(text);
        return 0;
    }
    char* block = size <= 0xFFFFFFFDu ? (char*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size + 2) : nullptr;
    if (block)
        memcpy(block, bytes, size);
    if (owned)
        GlobalFree((HGLOBAL)bytes);
    if (!block) {
        ShowUpdaterError(NoMemoryText);
        return 0;
    }
    *data = block;
    return 1;
}

int ReadSetupSection()
{
    struct Required {
        const char* key;
        char* buffer;
    } required[] = {
        {"CompanyName", CompanyName}, {"GameTitle", GameTitle}, {"GameClass", GameClass}, {"GameDir", GameDir}};
    for (const Required& r : required)
        if (!ReadUpdateValue("SETUP", r.key, r.buffer, 260))
            return 0;

    MissingKeySilent = 1;
    ReadUpdateValue("SETUP", "GameTitleA", GameTitleA, sizeof GameTitleA);
    ReadUpdateValue("SETUP", "UpdaterVersion", UpdaterVersion, sizeof UpdaterVersion);
    ReadUpdateValue("SETUP", "UpdaterTitle", UpdaterTitle, sizeof UpdaterTitle);
    ReadUpdateValue("SETUP", "DataFolder", DataFolder, sizeof DataFolder);
    ReadUpdateValue("SETUP", "UpdateMessage", UpdateMessage, sizeof UpdateMessage);

    char value[260];
    int mode = 0;
    if (ReadUpdateValue("SETUP", "ModeTextUpdateOrInstall", value, sizeof value))
        mode = ParseSignedDecimal(value);
    ModeTextInstall = mode != 0;
    lstrcpyA(ModeWord, ModeTextInstall ? "インストール" : "アップデート");

    if (ReadUpdateValue("SETUP", "AgreementText", value, sizeof value) &&
        !LoadAgreementEntry(value, &AgreementTextData))
        return 0;
    if (ReadUpdateValue("SETUP", "AgreementTitle", value, sizeof value) &&
        !LoadAgreementEntry(value, &AgreementTitleData))
        return 0;
    return 1;
}

}  // namespace

void ShutdownUpdater()
{
    ReleaseOnlyCopy();
    if (UpdateArchive) {
        GlobalFree(UpdateArchive);
        UpdateArchive = nullptr;
    }
    if (UpdateIniFile != INVALID_HANDLE_VALUE) {
        CloseHandle(UpdateIniFile);
        UpdateIniFile = INVALID_HANDLE_VALUE;
    }
    DeleteFileA(UpdateIniPath);
    if (UpdateIniOwned)
        GlobalFree((HGLOBAL)UpdateIniText);
    UpdateIniText = nullptr;
    UpdateIniSize = 0;
    UpdateIniOwned = 0;
}

int RunUpdater(HINSTANCE instance)
{
    CallCoInitialize();
    int exitCode = 0;
    if (LocatePayload(instance) && LocatePayloadSums(instance)) {
        UpdateArchive = OpenArchive(ArchiveImage, ArchiveImageSize);
        // With sums beside it, a payload whose table does not even open was damaged on its way.
        if (!UpdateArchive)
            ShowUpdaterError(UpdateSumsLoaded ? DamagedPayloadText : "RESOURCE READ ERROR");
        else if (CheckTableSums(UpdateArchive, ArchiveImageSize) && LoadUpdateIni() && ReadSetupSection())
            exitCode = CheckInstallationAndRunWizard(instance);
    }
    ShutdownUpdater();
    return exitCode;
}
