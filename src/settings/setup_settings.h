#pragma once
// The installed game's SETUP.INI, read and checked once before the wizard opens.
// CompanyName, GameTitle, GameDir and GameClass are not here: the reader fills the start-up's buffers of those
// names (support/updater_values.h), so UPDATE.INI's values of them do not survive a successful read.
#include <cstdint>

const int SetupBmpSlots = 20;
const int InstallSelectSlots = 4;   // the add-on set, when there is one, takes the last slot
const int InstallFileSlots = 40;
const int ShortcutSlots = 10;
const int ShortcutFields = 4;
const int DiskCheckFileSlots = 10;  // indexed by disk number

// Lists shorter than their capacity end with an empty string; a full list has no end mark.
struct InstallationSettings {
    char GameExe[260];
    char UninstExe[260];
    char SetupBmp[SetupBmpSlots][260];
    int32_t InstallSelects;  // 0 or less: no selections
    char InstallTitle[InstallSelectSlots][260];
    char InstallFiles[InstallSelectSlots][InstallFileSlots][260];
    int32_t DiskNo[InstallSelectSlots][InstallFileSlots];  // 0..9, from the files' disk prefixes
    int32_t NeedsDisk[InstallSelectSlots];                 // 1 when a file of the selection has a disk number
    int32_t Shortcuts;                                     // 0 or less: no shortcuts
    char Shortcut[ShortcutSlots][ShortcutFields][260];
    int32_t DefaultSelect;
    uint64_t InstallSize[InstallSelectSlots];              // bytes
    char DiskCheckFile[DiskCheckFileSlots][260];           // the file that recognises disk n; empty when not given
    char ExecApp[2][260];
    char SelectSetupMessage[1024];
    char SaveDataFolderNameInInstall[260];
    char SaveDataFolderName[260];
    char StrKeyInstPath[260];
    char ShortcutFolder[260];
    int32_t InstallAfterAdd;  // 0 or 1
    char UninstTitle[260];
    int32_t InstPathMode;
};

extern InstallationSettings SetupSettings;

// Reads the "SETUP" section of SetupIniPath into SetupSettings. Returns 1 when every check passed; 0 after the
// first failure, which has already been reported (or stays silent for a missing required key while
// MissingKeySilent is 1). MissingKeySilent is 1 after a successful read.
int ReadInstallationSettings();
