#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "harness.h"
#include "run/one_copy.h"
#include "run/startup.h"
#include "support/globals.h"
#include "support/updater_values.h"

namespace {


std::vector<unsigned char> Archive(const std::string& updateIni, const std::string& agreement = "")
{
    std::vector<WriterEntry> list;
    list.push_back({"UPDATE.INI", std::vector<unsigned char>(updateIni.begin(), updateIni.end()),
                    132000000000000000ULL, PackStore, 0});
    if (!agreement.empty())
        list.push_back({"KIYAKU.TXT", std::vector<unsigned char>(agreement.begin(), agreement.end()),
                        132000000000000000ULL, PackStore, 0});
    std::vector<unsigned char> out;
    std::string error;
    WriteArchive(list, WriterOptions{PackStore, EncodeFast}, &out, &error);
    return out;
}

const char* const GoodSetupIni =
    "[SETUP]\r\nCompanyName=ソフト会社\r\nGameTitle=表示ゲーム X\r\nGameDir=UpdTestGame\r\nGameExe=game.exe\r\n"
    "UninstExe=uninst.exe\r\nSetupBmp=a.bmp\r\nInstallSelects=1\r\nInstallTitle0=標準\r\nInstallFiles0=a.dat\r\n"
    "Shortcuts=0\r\nGameClass=UpdTestGameClass\r\n";

// What the wizard showed when it opened; the watcher then presses Cancel, as a user closing it would.
struct WizardSeen {
    bool opened = false;
    std::string caption;
    bool agreementBox = false;
};
WizardSeen Seen;
HHOOK WizardHook;

LRESULT CALLBACK WatchWizard(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        HWND window = (HWND)wParam;
        if (GetDlgItem(window, 1001) && !Seen.opened) {
            Seen.opened = true;
            char caption[1024] = "";
            GetWindowTextA(window, caption, sizeof caption);
            Seen.caption = caption;
            Seen.agreementBox = GetDlgItem(window, 1000) != nullptr;
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(window, IDCANCEL));
        }
    }
    return CallNextHookEx(WizardHook, code, wParam, lParam);
}

struct Installed {
    TempRegistryKey key{"UpdTestGame"};
    ScratchFolder folder;
    std::string updateIni;

    Installed()
    {
        key.SetString("InstPath", folder.path);
        key.SetDword("InstMode", 1);
        WriteBytes(folder / "SETUP.INI", GoodSetupIni);
        updateIni = "[SETUP]\r\nCompanyName=" + key.company +
                    "\r\nGameTitle=元の題名\r\nGameClass=x\r\nGameDir=UpdTestGame\r\nUpdaterVersion=1.02\r\n";
    }
};

struct RunResult {
    int exitCode;
    std::vector<CapturedBox> boxes;
    std::string caption;  // WindowCaption as the run left it
};

RunResult RunWith(const std::string& updateIni, const std::string& agreement = "",
              std::function<int(const CapturedBox&)> onBox = nullptr)
{
    std::vector<unsigned char> payload = Archive(updateIni, agreement);
    PayloadModule updater(payload.data(), payload.size());
    EXPECT_NE(updater.module, (HMODULE) nullptr);
    // Several runs share this process: start each from the process-start values.
    CaptionRestored restored;
    lstrcpyA(WindowCaption, "UPDATE");
    MissingKeySilent = 0;
    Seen = WizardSeen();
    WizardHook = SetWindowsHookExA(WH_CBT, WatchWizard, nullptr, GetCurrentThreadId());
    RunResult result;
    {
        MessageBoxCapture capture;
        capture.onBox = onBox;
        result.exitCode = RunUpdater(updater.module);
        result.boxes = capture.boxes;
    }
    result.caption = WindowCaption;
    UnhookWindowsHookEx(WizardHook);
    return result;
}

void ExpectNotInstalled(const RunResult& r, const char* why)
{
    EXPECT_EQ(r.exitCode, 0) << why;
    ASSERT_EQ(r.boxes.size(), 1u) << why;
    EXPECT_EQ(r.boxes[0].text, "「元の題名」がインストールされていません") << why;
    EXPECT_EQ(r.boxes[0].caption, "UPDATE");
    EXPECT_EQ(r.boxes[0].owner, (HWND) nullptr);
    EXPECT_FALSE(Seen.opened);
}

TEST(InstallCheck, RegistryValuesThatDoNotMakeAnInstallation)
{
    {
        Installed game;
        std::string ini = game.updateIni;
        ini.replace(ini.find(game.key.company), game.key.company.size(), game.key.company + "-absent");
        ExpectNotInstalled(RunWith(ini), "no key");
    }
    struct {
        const char* why;
        void (*spoil)(Installed&);
    } cases[] = {
        {"no InstMode", [](Installed& g) { RegDeleteKeyValueA(HKEY_CURRENT_USER, ("Software\\" + g.key.company + "\\UpdTestGame").c_str(), "InstMode"); }},
        {"no InstPath", [](Installed& g) { RegDeleteKeyValueA(HKEY_CURRENT_USER, ("Software\\" + g.key.company + "\\UpdTestGame").c_str(), "InstPath"); }},
        {"InstMode as text", [](Installed& g) { g.key.SetString("InstMode", "1"); }},
        {"InstMode of 2 bytes", [](Installed& g) { WORD m = 1; g.key.SetBinary("InstMode", &m, 2); }},
        {"InstPath without NUL", [](Installed& g) { std::string a(260, 'a'); g.key.SetBinary("InstPath", a.data(), 260); }},
        {"InstPath too large", [](Installed& g) { g.key.SetString("InstPath", "C:\\" + std::string(300, 'a')); }},
        {"empty InstPath", [](Installed& g) { g.key.SetString("InstPath", ""); }},
        {"relative InstPath", [](Installed& g) { g.key.SetString("InstPath", "Games\\X"); }},
    };
    for (const auto& c : cases) {
        Installed game;
        c.spoil(game);
        ExpectNotInstalled(RunWith(game.updateIni), c.why);
    }
}

TEST(InstallCheck, DataPathIsOptionalAndRefusedWithoutNul)
{
    for (int form = 0; form < 3; ++form) {
        Installed game;
        if (form == 1)
            game.key.SetString("DataPath", "C:\\data");
        if (form == 2) {
            std::string a(260, 'd');
            game.key.SetBinary("DataPath", a.data(), 260);
        }
        RunResult r = RunWith(game.updateIni);
        EXPECT_TRUE(Seen.opened) << form;
        EXPECT_STREQ(InstallRecord.DataPath, form == 1 ? "C:\\data" : "") << form;
        EXPECT_EQ(InstallRecord.InstMode, 1u);
        EXPECT_STREQ(InstallRecord.InstPath, game.folder.path.c_str());
    }
}

// Installers often pass the string's length as the data size, so the value is stored without its NUL. What fits
// the 260-byte buffer with room for a NUL is the installation's path all the same.
TEST(InstallCheck, StringValuesStoredWithoutTheirNul)
{
    const DWORD types[] = {REG_SZ, REG_BINARY};
    for (DWORD type : types) {
        Installed game;
        std::string data = "C:\\data\\セーブ";
        // A byte other than 0 after the data, or the registry takes the terminator in after all.
        std::string inst = game.folder.path + "X", dataPath = data + "X";
        game.key.SetBinary("InstPath", inst.data(), (DWORD)game.folder.path.size(), type);
        game.key.SetBinary("DataPath", dataPath.data(), (DWORD)data.size(), type);
        RunResult r = RunWith(game.updateIni);
        EXPECT_TRUE(Seen.opened) << type;
        EXPECT_STREQ(InstallRecord.InstPath, game.folder.path.c_str()) << type;
        EXPECT_STREQ(InstallRecord.DataPath, data.c_str()) << type;
    }
    {
        // 259 bytes leave the buffer's last byte for the NUL.
        Installed game;
        std::string longest = game.folder.path + "\\" + std::string(258 - game.folder.path.size(), 'a') + "X";
        game.key.SetBinary("InstPath", longest.data(), 259, REG_BINARY);
        RunResult r = RunWith(game.updateIni);
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].text, "インストール先のパスが長すぎます") << "found, but too long for SETUP.INI";
    }
}

TEST(InstallCheck, SetupIniMissingOrAFolder)
{
    {
        Installed game;
        DeleteFileA((game.folder / "SETUP.INI").c_str());
        RunResult r = RunWith(game.updateIni + "UpdateMessage=1行目\\n2行目\r\n");
        EXPECT_EQ(r.exitCode, 0);
        ASSERT_EQ(r.boxes.size(), 2u);
        // The update message comes first, with its "\n" as one CR byte, under the caption "UPDATE" and no owner.
        EXPECT_EQ(r.boxes[0].text, "1行目\r2行目");
        EXPECT_EQ(r.boxes[0].caption, "UPDATE");
        EXPECT_EQ(r.boxes[0].owner, (HWND) nullptr);
        EXPECT_EQ(r.boxes[0].style, (UINT)(MB_ICONERROR | MB_OK));
        EXPECT_EQ(r.boxes[1].text, "インストール先に \"SETUP.INI\" ファイルが見つかりません");
        EXPECT_EQ(r.boxes[1].caption, "UPDATE");
    }
    {
        Installed game;
        DeleteFileA((game.folder / "SETUP.INI").c_str());
        CreateDirectoryA((game.folder / "SETUP.INI").c_str(), nullptr);
        RunResult r = RunWith(game.updateIni);
        // The folder passes the presence test; reading it then fails without a message (keys are silent).
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.boxes.empty());
        EXPECT_FALSE(Seen.opened);
        RemoveDirectoryA((game.folder / "SETUP.INI").c_str());
    }
}

TEST(InstallCheck, CaptionAndTemplate)
{
    struct {
        const char* extra;
        const char* agreement;
        const char* caption;
        bool agreementBox;
    } cases[] = {
        {"", "", "表示ゲーム X アップデータ 1.02", false},
        {"UpdaterTitle=更新プログラム\r\n", "", "更新プログラム", false},
        {"AgreementText=KIYAKU.TXT\r\n", "規約", "表示ゲーム X アップデータ 1.02", true},
    };
    for (const auto& c : cases) {
        Installed game;
        RunResult r = RunWith(game.updateIni + c.extra, c.agreement);
        ASSERT_TRUE(Seen.opened) << c.extra;
        EXPECT_EQ(Seen.caption, c.caption);
        EXPECT_EQ(Seen.agreementBox, c.agreementBox);
        EXPECT_EQ(r.caption, c.caption);
        // Cancel: the run reports the interruption with the composed caption and no owner, and exits 0.
        EXPECT_EQ(r.exitCode, 0);
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].text, "アップデートが中断されました");
        EXPECT_EQ(r.boxes[0].caption, c.caption);
        EXPECT_EQ(r.boxes[0].owner, (HWND) nullptr);
        EXPECT_EQ(WizardWindow, (HWND) nullptr);
    }
    {
        Installed game;
        RunResult r = RunWith(game.updateIni.replace(game.updateIni.find("UpdaterVersion=1.02\r\n"), 21, ""));
        EXPECT_EQ(Seen.caption, "表示ゲーム X アップデータ ");
    }
}

TEST(InstallCheck, AnotherCopyIsBroughtToTheFront)
{
    Installed game;
    HWND first = CreateWindowExA(0, MAKEINTRESOURCEA(0x8002), "表示ゲーム X アップデータ 1.02", WS_POPUP, 0, 0, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(first, (HWND) nullptr);
    RunResult r = RunWith(game.updateIni);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_FALSE(Seen.opened);
    EXPECT_TRUE(GetWindowLongA(first, GWL_STYLE) & WS_VISIBLE);
    DestroyWindow(first);
}

// Another copy for the game holds the guard (before its wizard shows): this start neither reads nor touches the
// journal, and goes without a word. Alone, the same start looks at it (here: a file that is no journal).
TEST(InstallCheck, AnotherCopysGuardKeepsTheStartAwayFromTheJournal)
{
    Installed game;
    std::string journal = game.folder / "~UPDATE.JNL";
    ASSERT_TRUE(WriteBytes(journal, "not a journal"));
    char name[64];
    OnlyCopyName(game.key.company.c_str(), "UpdTestGame", name);
    HANDLE other = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(other, (HANDLE) nullptr);
    RunResult r = RunWith(game.updateIni);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_FALSE(Seen.opened);
    EXPECT_EQ(ReadBytes(journal), "not a journal");
    CloseHandle(other);

    r = RunWith(game.updateIni);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text,
              "インストール先にある ~UPDATE.JNL は、このアップデータの作業記録ではありません（作業記録の形式ではない"
              "ファイルです）。ゲームのファイルには何もしていません。~UPDATE.JNL を削除するか名前を変えてから、もう一度"
              "アップデートを実行して下さい");
    EXPECT_FALSE(Seen.opened);
    // The guard is let go when the run ends.
    HANDLE after = CreateMutexA(nullptr, FALSE, name);
    EXPECT_NE(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(after);
}

HWND MakeGameWindow(const char* title)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "UpdTestGameClass";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, "UpdTestGameClass", title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

const char* const RunningQuestion =
    "「表示ゲーム X」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、"
    "アップデートを中止する場合は [キャンセル] を押して下さい";

TEST(InstallCheck, RunningGameCancelled)
{
    Installed game;
    HWND window = MakeGameWindow("表示ゲーム X");
    ASSERT_NE(window, (HWND) nullptr);
    RunResult r = RunWith(game.updateIni, "", [](const CapturedBox&) { return IDCANCEL; });
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.boxes.size(), 1u) << "no interruption message after Cancel";
    EXPECT_EQ(r.boxes[0].text, RunningQuestion);
    EXPECT_EQ(r.boxes[0].caption, "表示ゲーム X アップデータ 1.02");
    EXPECT_EQ(r.boxes[0].style, (UINT)MB_OKCANCEL);
    EXPECT_EQ(r.boxes[0].owner, (HWND) nullptr);
    EXPECT_FALSE(Seen.opened);
    EXPECT_TRUE(GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE);
    DestroyWindow(window);
}

TEST(InstallCheck, RunningGameAskedAgainUntilItCloses)
{
    Installed game;
    static HWND window;
    window = MakeGameWindow("表示ゲーム X");
    static HWND second;
    second = MakeGameWindow("別名タイトル");
    static int asked;
    asked = 0;
    RunResult r = RunWith(game.updateIni + "GameTitleA=別名タイトル\r\n", "", [](const CapturedBox&) {
        ++asked;
        if (asked == 2)
            DestroyWindow(window);  // the player quits the game, then answers OK
        if (asked == 3)
            DestroyWindow(second);
        return IDOK;
    });
    ASSERT_GE(r.boxes.size(), 4u);
    EXPECT_EQ(r.boxes[0].text, RunningQuestion);
    EXPECT_EQ(r.boxes[1].text, RunningQuestion);
    EXPECT_EQ(r.boxes[2].text,
              "「別名タイトル」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、"
              "アップデートを中止する場合は [キャンセル] を押して下さい");
    EXPECT_TRUE(Seen.opened);
    EXPECT_EQ(r.boxes[3].text, "アップデートが中断されました");
}

}  // namespace
