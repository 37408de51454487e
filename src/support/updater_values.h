#pragma once
// Values the start-up fills once and later steps read (sizes are buffer sizes, NUL included; cp932 text).
#include <windows.h>

#include <cstdint>

// From the "SETUP" section of UPDATE.INI. The first four are replaced by SETUP.INI's values when it is read.
extern char CompanyName[260];
extern char GameTitle[260];
extern char GameClass[260];
extern char GameDir[260];
extern char GameTitleA[260];
extern char UpdaterVersion[260];
extern char UpdaterTitle[260];
extern char DataFolder[260];
extern char UpdateMessage[1024];

// Wording of the run: "アップデート", or "インストール" when ModeTextInstall is 1.
extern int ModeTextInstall;
extern char ModeWord[1024];

// Agreement texts from the archive, each in a zero-filled block of the entry's size + 2; null when absent.
extern char* AgreementTextData;
extern char* AgreementTitleData;

// The installed game's registry values.
struct InstalledGame {
    char InstPath[260];
    char DataPath[260];  // empty when absent
    uint32_t InstMode;
};
extern InstalledGame InstallRecord;
