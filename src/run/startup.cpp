#include "run/startup.h"

#include <cstring>

#include "archive/archive.h"
#include "run/updater_values.h"
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

// Each process extracts to a file of its own in the temporary folder, so a second copy that stops early never
// takes UPDATE.INI away from a first copy whose update job still has to read it.
int CreateUpdateIniPath()
{
    char folder[MAX_PATH + 1];
    DWORD length = GetUpdaterTempFolder(folder, MAX_PATH);
    // GetTempFileNameA needs room for its 14-character name; a temporary path that long (or none) is refused
    // instead of extracting into the current folder.
    if (length == 0 || length > MAX_PATH - 14) {
        ShowUpdaterError("一時フォルダーが見つからないか、パスが長すぎます");
        return 0;
    }
    if (!GetTempFileNameA(folder, "UPD", 0, UpdateIniPath)) {
        UpdateIniPath[0] = '\0';
        ShowUpdaterError("一時フォルダーにファイルを作成できません");
        return 0;
    }
    return 1;
}

// Copies an agreement entry into a zero-filled block of its size + 2, so the text ends in two NULs.
int LoadAgreementEntry(const char* name, char** data)
{
    uint32_t size = 0;
    const unsigned char* bytes = LoadEntry(UpdateArchive, name, &size);
    if (!bytes) {
        char text[1024];
        FormatText(text, sizeof text, "'%s' not found at UPDATE.FA3", name);
        ShowUpdaterError(text);
        return 0;
    }
    char* block = size <= 0xFFFFFFFDu ? (char*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size + 2) : nullptr;
    if (block)
        memcpy(block, bytes, size);
    // A decoded entry is a block of its own; the image's bytes are never released.
    if (bytes < ArchiveImage || bytes >= ArchiveImage + ArchiveImageSize)
        GlobalFree((HGLOBAL)bytes);
    if (!block) {
        ShowUpdaterError("Can't Allocate Memory !!");
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
    if (UpdateArchive) {
        GlobalFree(UpdateArchive);
        UpdateArchive = nullptr;
    }
    DeleteFileA(UpdateIniPath);
}

int RunUpdater(HINSTANCE instance)
{
    CallCoInitialize();
    int exitCode = 0;
    if (LocatePayload(instance)) {
        UpdateArchive = OpenArchive(ArchiveImage, ArchiveImageSize);
        if (!UpdateArchive)
            ShowUpdaterError("RESOURCE READ ERROR");
        else if (CreateUpdateIniPath() && ExtractEntry(UpdateArchive, "UPDATE.INI", UpdateIniPath, 0) &&
                 ReadSetupSection())
            exitCode = CheckInstallationAndRunWizard(instance);
    }
    ShutdownUpdater();
    return exitCode;
}
