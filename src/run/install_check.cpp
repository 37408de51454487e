#include <windows.h>

#include <cstring>

#include "job/job_recovery.h"
#include "job/job_seal.h"
#include "run/line_breaks.h"
#include "run/one_copy.h"
#include "run/startup.h"
#include "settings/setup_settings.h"
#include "support/globals.h"
#include "support/messages.h"
#include "support/path_join.h"
#include "support/text_format.h"
#include "support/ui_text.h"
#include "support/updater_values.h"
#include "wizard/wizard.h"

namespace {

// The buffer is zero-filled first, so a value stored without its NUL (installers often give the string's length
// as the data size) still ends inside it; only a value that fills all of it without a NUL is refused, not cut.
int QueryStringValue(HKEY key, const char* name, char* buffer, DWORD size)
{
    memset(buffer, 0, size);
    DWORD length = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)buffer, &length) != ERROR_SUCCESS ||
        !memchr(buffer, '\0', size)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

int ReadInstallRecord()
{
    char subKey[1024];
    FormatText(subKey, sizeof subKey, "Software\\%s\\%s", CompanyName, GameDir);
    HKEY key;
    int found = 0;
    // The game's installer is a 32-bit program: the 64-bit updater reads the view it wrote. HKEY_CURRENT_USER's
    // Software key is one view for both (Windows 7 on), so this changes nothing there, but keeps any read of a
    // redirected key where the installer's values are; 32-bit Windows ignores the flag.
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
        if (QueryStringValue(key, "InstPath", InstallRecord.InstPath, sizeof InstallRecord.InstPath)) {
            if (!QueryStringValue(key, "DataPath", InstallRecord.DataPath, sizeof InstallRecord.DataPath))
                InstallRecord.DataPath[0] = '\0';
            DWORD mode = 0, length = sizeof mode;
            // Only a 4-byte value is a mode number; text or other sizes count as unreadable.
            found = RegQueryValueExA(key, "InstMode", nullptr, nullptr, (BYTE*)&mode, &length) == ERROR_SUCCESS &&
                    length == sizeof mode && IsAbsolutePath(InstallRecord.InstPath);
            InstallRecord.InstMode = mode;
        }
        RegCloseKey(key);
    }
    if (!found) {
        char text[1024];
        FormatText(text, sizeof text, "「%s」がインストールされていません", GameTitle);
        ShowUpdaterError(text);
    }
    return found;
}

// 0 when the user gave up waiting for the game to close (the game's window is then brought to the front).
int WaitForGameToClose(const char* title)
{
    for (;;) {
        // The game registers its class and creates its window through the ANSI calls with these same bytes, so
        // the ANSI search names exactly what it made, on any code page.
        HWND game = FindWindowA(GameClass, title);
        if (!game)
            return 1;
        char text[1024];
        FormatText(text, sizeof text,
                   "「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、"
                   "アップデートを中止する場合は [キャンセル] を押して下さい",
                   title);
        if (ShowTextBox(nullptr, text, WindowCaption, MB_OKCANCEL) != IDOK) {
            ShowWindow(game, SW_SHOW);
            SetForegroundWindow(game);
            return 0;
        }
    }
}

}  // namespace

int CheckInstallationAndRunWizard(HINSTANCE instance)
{
    if (!ReadInstallRecord())
        return 0;
    NameJobSeal(CompanyName, GameDir);
    // A running copy's journal is its own to settle.
    int onlyCopy = ClaimOnlyCopy();
    if (onlyCopy && !FinishInterruptedJob(InstallRecord))
        return 0;

    if (UpdateMessage[0]) {
        char text[1024];
        ExpandLineBreaks(UpdateMessage, text, sizeof text);
        ShowUpdaterError(text);
    }

    lstrcpyA(SetupIniPath, InstallRecord.InstPath);
    if (!AppendPathName(SetupIniPath, sizeof SetupIniPath, "SETUP.INI")) {
        SetupIniPath[0] = '\0';
        ShowUpdaterError("インストール先のパスが長すぎます");
        return 0;
    }
    if (GetFileAttributesA(SetupIniPath) == INVALID_FILE_ATTRIBUTES) {
        ShowUpdaterError("インストール先に \"SETUP.INI\" ファイルが見つかりません");
        return 0;
    }
    if (!ReadInstallationSettings())
        return 0;

    if (UpdaterTitle[0])
        FormatText(WindowCaption, sizeof WindowCaption, "%s", UpdaterTitle);
    else
        FormatText(WindowCaption, sizeof WindowCaption, "%s アップデータ %s", GameTitle, UpdaterVersion);

    // Another copy runs: its dialog, when it shows one already, comes to the front.
    HWND other = FindUpdaterDialog(WindowCaption);
    if (other || !onlyCopy) {
        if (other) {
            ShowWindow(other, SW_SHOW);
            SetForegroundWindow(other);
        }
        return 0;
    }

    if (!WaitForGameToClose(GameTitle))
        return 0;
    if (GameTitleA[0] && !WaitForGameToClose(GameTitleA))
        return 0;

    INT_PTR result = OpenWizard(instance, AgreementTextData ? WizardTemplateAgreement : WizardTemplatePlain);
    if (result == WizardFinished)
        return 1;
    ShowUpdaterError("アップデートが中断されました");
    return 0;
}
