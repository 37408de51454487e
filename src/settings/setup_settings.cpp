#include "settings/setup_settings.h"

#include <windows.h>

#include <cstring>

#include "support/decimal.h"
#include "support/globals.h"
#include "support/list_token.h"
#include "support/messages.h"
#include "support/settings_access.h"
#include "support/text_format.h"
#include "support/updater_values.h"

InstallationSettings SetupSettings;

namespace {

const int ListValueSize = 1024;
const int SizeValueSize = 20;  // so only the first 19 bytes of a size count

void ShowKeyError(const char* key)
{
    char text[1024];
    FormatText(text, sizeof text, "SETUP.INI : %s エラー", key);
    ShowSettingsError(text);
}

// Splits a comma list into `capacity` slots of 260 bytes and returns how many items it found, or -1 when an item
// did not fit its slot. A cut item would name a different file than the installation's, so it is refused rather
// than kept. With `diskNo` given, each item gets the disk number in force after its token, and `needsDisk` is set
// when any of them is not 0.
int SplitList(char* value, char (*slots)[260], int capacity, int32_t* diskNo, int32_t* needsDisk)
{
    memset(slots, 0, sizeof slots[0] * capacity);
    char* cursor = value;
    int count = 0;
    while (count < capacity) {
        int wasCut = 0;
        if (!NextListToken(slots[count], &cursor, &wasCut))
            break;
        if (wasCut)
            return -1;
        if (diskNo) {
            diskNo[count] = CurrentDiskNo;
            if (CurrentDiskNo != 0)
                *needsDisk = 1;
        }
        ++count;
    }
    return count;
}

// One selection's file list (or the add-on set), under `key`, into slot `slot`.
int ReadFileList(const char* key, int slot)
{
    char value[ListValueSize];
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    CurrentDiskNo = 0;
    SetupSettings.NeedsDisk[slot] = 0;
    memset(SetupSettings.DiskNo[slot], 0, sizeof SetupSettings.DiskNo[slot]);
    int count = SplitList(value, SetupSettings.InstallFiles[slot], InstallFileSlots, SetupSettings.DiskNo[slot],
                          &SetupSettings.NeedsDisk[slot]);
    if (count <= 0) {
        ShowKeyError(key);
        return 0;
    }
    return 1;
}

// The value is read with a 260-byte limit, so no field can be longer than its slot.
int ReadShortcut(const char* key, char (*fields)[260])
{
    char value[260];
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    memset(fields, 0, sizeof fields[0] * ShortcutFields);
    char* cursor = value;
    for (int f = 0; f < ShortcutFields; ++f) {
        if (NextListToken(fields[f], &cursor))
            continue;
        if (f < 2) {
            ShowKeyError(key);
            return 0;
        }
        if (*cursor == '\0' || *cursor == '\r' || *cursor == '\n')
            break;
        // An empty item: it leaves this field empty, and the list goes on after the run of commas.
        while (*cursor == ',' || IsListBlank((unsigned char)*cursor))
            ++cursor;
    }
    return 1;
}

uint64_t ReadSize(const char* key)
{
    char value[SizeValueSize];
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    return ParseUnsignedDecimal64(value);
}

void ReadText(const char* key, char* field, size_t size, const char* fallback)
{
    if (!ReadSetupValue(key, field, size))
        lstrcpynA(field, fallback, (int)size);
}

// Keys that must be there; a missing one fails silently unless MissingKeySilent is 0.
int ReadRequiredGroup()
{
    if (!ReadSetupValue("CompanyName", CompanyName, sizeof CompanyName) ||
        !ReadSetupValue("GameTitle", GameTitle, sizeof GameTitle) ||
        !ReadSetupValue("GameDir", GameDir, sizeof GameDir) ||
        !ReadSetupValue("GameExe", SetupSettings.GameExe, sizeof SetupSettings.GameExe) ||
        !ReadSetupValue("UninstExe", SetupSettings.UninstExe, sizeof SetupSettings.UninstExe))
        return 0;

    char value[ListValueSize];
    if (!ReadSetupValue("SetupBmp", value, sizeof value))
        return 0;
    int bitmaps = SplitList(value, SetupSettings.SetupBmp, SetupBmpSlots, nullptr, nullptr);
    if (bitmaps < 0) {
        ShowKeyError("SetupBmp");
        return 0;
    }
    if (bitmaps == 0) {
        ShowSettingsError("SETUP.INI : SetupBmps エラー");
        return 0;
    }

    if (!ReadSetupNumber("InstallSelects", &SetupSettings.InstallSelects))
        return 0;
    if (SetupSettings.InstallSelects > InstallSelectSlots) {
        ShowSettingsError("SETUP.INI : InstallSelect オーバー");
        return 0;
    }
    char key[64];
    for (int i = 0; i < SetupSettings.InstallSelects; ++i) {
        FormatText(key, sizeof key, "InstallTitle%i", i);
        if (!ReadSetupValue(key, SetupSettings.InstallTitle[i], sizeof SetupSettings.InstallTitle[i]))
            return 0;
        FormatText(key, sizeof key, "InstallFiles%i", i);
        if (!ReadFileList(key, i))
            return 0;
    }

    if (!ReadSetupNumber("Shortcuts", &SetupSettings.Shortcuts))
        return 0;
    if (SetupSettings.Shortcuts > ShortcutSlots) {
        ShowSettingsError("SETUP.INI : Shortcuts オーバー");
        return 0;
    }
    for (int i = 0; i < SetupSettings.Shortcuts; ++i) {
        FormatText(key, sizeof key, "Shortcut%i", i);
        if (!ReadShortcut(key, SetupSettings.Shortcut[i]))
            return 0;
    }
    return 1;
}

// Keys with defaults; only a malformed ExecApp fails.
int ReadOptionalGroup()
{
    MissingKeySilent = 1;
    ReadText("GameClass", GameClass, sizeof GameClass, GameTitle);
    if (!ReadSetupNumber("DefaultSelect", &SetupSettings.DefaultSelect))
        SetupSettings.DefaultSelect = 0;

    char key[64];
    for (int i = 0; i < SetupSettings.InstallSelects; ++i) {
        FormatText(key, sizeof key, "InstallSize%i", i);
        SetupSettings.InstallSize[i] = ReadSize(key);
    }
    for (int n = 0; n < DiskCheckFileSlots; ++n) {
        FormatText(key, sizeof key, "DiskCheckFile%i", n);
        ReadSetupValue(key, SetupSettings.DiskCheckFile[n], sizeof SetupSettings.DiskCheckFile[n]);
    }

    memset(SetupSettings.ExecApp, 0, sizeof SetupSettings.ExecApp);
    char execApp[260];
    if (ReadSetupValue("ExecApp", execApp, sizeof execApp)) {
        // Read with a 260-byte limit: neither item can be longer than its slot.
        char* cursor = execApp;
        if (!NextListToken(SetupSettings.ExecApp[0], &cursor) || !NextListToken(SetupSettings.ExecApp[1], &cursor)) {
            ShowKeyError("ExecApp");
            return 0;
        }
    }

    ReadText("SelectSetupMessage", SetupSettings.SelectSetupMessage, sizeof SetupSettings.SelectSetupMessage,
             "インストール方法を選択して下さい");
    ReadText("SaveDataFolderNameInInstall", SetupSettings.SaveDataFolderNameInInstall,
             sizeof SetupSettings.SaveDataFolderNameInInstall, "savedata");
    ReadText("SaveDataFolderName", SetupSettings.SaveDataFolderName, sizeof SetupSettings.SaveDataFolderName,
             GameDir);
    ReadText("StrKeyInstPath", SetupSettings.StrKeyInstPath, sizeof SetupSettings.StrKeyInstPath, "InstPath");
    ReadText("ShortcutFolder", SetupSettings.ShortcutFolder, sizeof SetupSettings.ShortcutFolder, "");

    int32_t afterAdd = 0;
    SetupSettings.InstallAfterAdd = ReadSetupNumber("InstallAfterAdd", &afterAdd) && afterAdd != 0;
    return 1;
}

// The add-on set replaces the last selection slot's files and size; its title stays.
int ReadAddOnGroup()
{
    const int slot = InstallSelectSlots - 1;
    MissingKeySilent = 0;
    if (!ReadFileList("InstallAddFiles", slot))
        return 0;
    MissingKeySilent = 1;
    SetupSettings.InstallSize[slot] = ReadSize("InstallAddSize");
    return 1;
}

}  // namespace

int ReadInstallationSettings()
{
    if (!ReadRequiredGroup() || !ReadOptionalGroup())
        return 0;
    if (SetupSettings.InstallAfterAdd && !ReadAddOnGroup())
        return 0;
    ReadText("UninstTitle", SetupSettings.UninstTitle, sizeof SetupSettings.UninstTitle, GameTitle);
    if (!ReadSetupNumber("InstPathMode", &SetupSettings.InstPathMode))
        SetupSettings.InstPathMode = 0;
    return 1;
}
