// Whole runs of a real updater, built by fa2.exe from a folder this test writes, against a game installed in the
// registry and on disk; every window is read and clicked from outside, as the player would.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "driver.h"
#include "pe_resources.h"
#include "run_checks.h"

namespace {

const int Back = 4;
const int AgreementBox = 1000, Agree = 1002, Disagree = 1003;

// While the updater runs, its description file is one UPD*.tmp of its own in its temporary folder.
::testing::AssertionResult OwnTemporaryFile(const UpdaterRun& run, const UpdateScenario& scenario, std::string* name)
{
    std::vector<std::string> files = FilesMatching(run.tempDir, "UPD*.tmp");
    if (files.size() != 1)
        return ::testing::AssertionFailure() << files.size() << " UPD*.tmp files in " << run.tempDir;
    if (ReadBytes(run.tempDir + "\\" + files[0]) != scenario.UpdateIniText())
        return ::testing::AssertionFailure() << files[0] << " does not hold the update's UPDATE.INI";
    if (name)
        *name = files[0];
    return ::testing::AssertionSuccess();
}

// From the first page to the end: Next, the confirmation page, the job, then "完了".
::testing::AssertionResult UpdateFromTheFirstPage(HWND wizard)
{
    if (!Click(wizard, Next))
        return ::testing::AssertionFailure() << "Next is not clickable on the first page";
    ::testing::AssertionResult shown = ShowsText(wizard, "アップデートを実行します");
    if (!shown)
        return shown;
    ::testing::AssertionResult finished = RunJobToEnd(wizard);
    if (!finished)
        return finished;
    if (!Click(wizard, Next))
        return ::testing::AssertionFailure() << "完了 is not clickable";
    return ::testing::AssertionSuccess();
}

TEST(WholeRun, TypicalRunUpdatesTheInstallationAndExitsWithOne)
{
    UpdateScenario s;
    s.update.Set("UpdateFile05", "U,readme.txt");
    s.update.Set("UpdateFile06", "1,movie.cfg");
    s.payload.push_back({"readme.txt", "readme 1.02"});
    s.payload.push_back({"movie.cfg", "movie=on"});
    ASSERT_TRUE(Prepare(s));

    // The installed version, older than the update except for a manual the player has edited since.
    const unsigned long long day = 864000000000ull;
    struct {
        std::string path;
        std::string bytes;
        unsigned long long time;
    } installed[] = {
        {s.instPath + "\\scenario.dat", "scenario 1.00", PayloadTime + 30 * day},  // replaced whatever its time
        {s.instPath + "\\説明書.txt", "説明書 (書き込みあり)", PayloadTime + day},  // kept: newer
        {s.instPath + "\\readme.txt", "readme 1.00", PayloadTime - day},             // replaced: older
        {s.instPath + "\\bgm\\theme.dat", "theme 1.00", PayloadTime - day},          // overwritten: exists
        {s.dataPath + "\\system.sav", "my own save", PayloadTime - day},             // kept: the player's data
    };
    for (const auto& file : installed) {
        ASSERT_TRUE(WriteFileMakingFolders(file.path, file.bytes)) << file.path;
        ASSERT_TRUE(SetLastWriteTime(file.path, file.time));
    }
    // Right title, wrong class: UPDATE.INI's class must not be what the updater looks for.
    GameWindow lookalike("NotTheGameClass", s.gameTitle);
    ASSERT_TRUE(lookalike.window);

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    EXPECT_EQ(WindowTitle(wizard), s.DefaultCaption());
    EXPECT_TRUE(ShowsText(wizard, "「風鈴坂テスト」のアップデートを開始します"));
    EXPECT_TRUE(ControlEnabled(wizard, Next));
    EXPECT_TRUE(ControlEnabled(wizard, Cancel));
    EXPECT_FALSE(ControlEnabled(wizard, Back));
    EXPECT_EQ(GetDlgItem(wizard, AgreementBox), (HWND) nullptr) << "no agreement: the short template";
    EXPECT_TRUE(OwnTemporaryFile(run, s, nullptr));

    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(ShowsText(wizard, "アップデートを実行します"));
    EXPECT_FALSE(ControlEnabled(wizard, Back));
    ASSERT_TRUE(RunJobToEnd(wizard));
    EXPECT_FALSE(ControlEnabled(wizard, Back));
    EXPECT_FALSE(ControlEnabled(wizard, Cancel));

    struct {
        std::string path;
        std::string bytes;  // empty: must not exist
        unsigned long long time;
    } expected[] = {
        {s.instPath + "\\scenario.dat", s.payload[0].second, PayloadTime},
        {s.instPath + "\\説明書.txt", "説明書 (書き込みあり)", PayloadTime + day},
        {s.instPath + "\\readme.txt", "readme 1.02", PayloadTime},
        {s.instPath + "\\bgm\\theme.dat", s.payload[3].second, PayloadTime},
        {s.dataPath + "\\system.sav", "my own save", 0},
        {s.instPath + "\\movie.cfg", "movie=on", PayloadTime},
        {s.instPath + "\\voice.dat", "", 0},  // for installation type 2 only
    };
    for (const auto& file : expected) {
        bool exists = false;
        std::string bytes = ReadBytes(file.path, &exists);
        if (file.bytes.empty()) {
            EXPECT_FALSE(exists) << file.path;
            continue;
        }
        EXPECT_EQ(bytes, file.bytes) << file.path;
        if (file.time) {
            EXPECT_EQ(LastWriteTime(file.path), file.time) << file.path;
        }
    }

    // The caption's close box on the finished page must not turn a finished update into an interrupted one.
    PostMessageA(wizard, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(300);
    EXPECT_TRUE(IsWindowVisible(wizard));
    EXPECT_TRUE(ControlEnabled(wizard, Next));

    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
}

// The updater runs elevated and acts on UPDATE.INI while the wizard is open: another process of the user must not
// be able to change what it does by rewriting, renaming or deleting the temporary copy meanwhile.
TEST(WholeRun, TemporaryUpdateIniCannotBeChangedWhileTheWizardIsOpen)
{
    UpdateScenario s;
    ASSERT_TRUE(Prepare(s));
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    std::string name;
    ASSERT_TRUE(OwnTemporaryFile(run, s, &name));
    std::string path = run.tempDir + "\\" + name, moved = run.tempDir + "\\moved.ini";

    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing";
    if (writer != INVALID_HANDLE_VALUE) {
        DWORD written;
        std::string evil = "[UPDATE]\r\nUpdateFile00=..\\..\\evil.dat\r\n";
        WriteFile(writer, evil.data(), (DWORD)evil.size(), &written, nullptr);
        CloseHandle(writer);
    }
    EXPECT_FALSE(MoveFileA(path.c_str(), moved.c_str())) << "renamed";
    EXPECT_FALSE(DeleteFileA(path.c_str())) << "deleted";
    EXPECT_TRUE(OwnTemporaryFile(run, s, nullptr)) << "still there, unchanged";

    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(RunJobToEnd(wizard));
    EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second) << "the payload's own item";
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
}

TEST(WholeRun, CancelOnEachPageInterruptsWithExitCodeZero)
{
    struct {
        const char* name;
        bool agreement;
        int nextClicks;  // pages passed before Cancel
    } cases[] = {
        {"first page", false, 0},
        {"confirmation page", false, 1},
        {"agreement page", true, 0},
        {"confirmation page after the agreement", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        if (c.agreement) {
            s.setup.Set("AgreementText", "AGREE.TXT");
            s.payload.push_back({"AGREE.TXT", "規約\r\n"});
        }
        ASSERT_TRUE(Prepare(s));
        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        HWND wizard = run.WaitForWizard();
        ASSERT_TRUE(wizard) << run.problem;
        ASSERT_TRUE(ShowsText(wizard, "「風鈴坂テスト」のアップデートを開始します"));
        EXPECT_EQ(ControlVisible(wizard, AgreementBox), c.agreement);
        if (c.nextClicks) {
            if (c.agreement) {
                ASSERT_TRUE(Click(wizard, Agree));
                ASSERT_TRUE(WaitForEnabled(wizard, Next, true));
            }
            ASSERT_TRUE(Click(wizard, Next));
            ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
        }
        EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, s.DefaultCaption()));
        EXPECT_FALSE(PathExists(s.instPath + "\\scenario.dat"));
    }
}

TEST(WholeRun, NotInstalledShowsTheTitleFromTheUpdateAndStops)
{
    struct {
        const char* name;
        void (*spoil)(UpdateScenario&);
    } cases[] = {
        {"no registry key", [](UpdateScenario& s) { s.setup.Set("GameDir", s.registry.game + "２"); }},
        {"no InstMode", [](UpdateScenario& s) { DeleteRegistryValue(s.registry, "InstMode"); }},
        {"no InstPath", [](UpdateScenario& s) { DeleteRegistryValue(s.registry, "InstPath"); }},
        {"InstMode stored as text", [](UpdateScenario& s) { s.registry.SetString("InstMode", "1"); }},
        {"InstMode of 8 bytes",
         [](UpdateScenario& s) {
             unsigned long long mode = 1;
             s.registry.SetBinary("InstMode", &mode, sizeof mode, REG_QWORD);
         }},
        {"InstPath without an end inside 260 bytes",
         [](UpdateScenario& s) {
             std::string path = s.instPath + "\\";
             path.resize(260, 'a');
             s.registry.SetBinary("InstPath", path.data(), 260, REG_BINARY);
         }},
        {"relative InstPath", [](UpdateScenario& s) { s.registry.SetString("InstPath", "inst"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        ASSERT_TRUE(s.Install());
        c.spoil(s);
        std::string log;
        ASSERT_TRUE(s.Build(&log)) << log;
        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        EXPECT_TRUE(SeeBox(run, ErrorBox("「旧題・風鈴坂」がインストールされていません", "UPDATE"), IDOK));
        EXPECT_TRUE(EndsWith(run, 0));
    }
}

TEST(WholeRun, MissingDataPathIsNoObstacle)
{
    UpdateScenario s;
    ASSERT_TRUE(Prepare(s));
    ASSERT_TRUE(DeleteRegistryValue(s.registry, "DataPath"));
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, s.DefaultCaption()));
}

TEST(WholeRun, MissingSetupIniStops)
{
    UpdateScenario s;
    ASSERT_TRUE(Prepare(s));
    ASSERT_TRUE(DeleteFileA((s.instPath + "\\SETUP.INI").c_str()));
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    EXPECT_TRUE(SeeBox(run, ErrorBox("インストール先に \"SETUP.INI\" ファイルが見つかりません", "UPDATE"), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
}

void SetupIniFolder(UpdateScenario& s)
{
    DeleteFileA((s.instPath + "\\SETUP.INI").c_str());
    CreateDirectoryA((s.instPath + "\\SETUP.INI").c_str(), nullptr);
}

TEST(WholeRun, FailingSetupIniStopsWithItsOwnMessageOrSilently)
{
    struct {
        const char* name;
        const char* key;    // SETUP.INI key to change; nullptr: SETUP.INI becomes a folder
        const char* value;  // nullptr: the key is left out
        const char* message;  // nullptr: the run ends without any box
    } cases[] = {
        {"missing GameExe", "GameExe", nullptr, nullptr},
        {"SETUP.INI is a folder", nullptr, nullptr, nullptr},
        {"five selections", "InstallSelects", "5", "SETUP.INI : InstallSelect オーバー"},
        {"add-on without its files", "InstallAfterAdd", "1", "SETUP.INI : InstallAddFiles キーが存在しません"},
        {"shortcut without its second field", "Shortcut0", "a,,c", "SETUP.INI : Shortcut0 エラー"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        if (c.key && c.value)
            s.setupIni.Set(c.key, c.value);
        else if (c.key)
            s.setupIni.Drop(c.key);
        ASSERT_TRUE(Prepare(s));
        if (!c.key)
            SetupIniFolder(s);
        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        if (c.message) {
            EXPECT_TRUE(SeeBox(run, ErrorBox(c.message, "INSTCMMN"), IDOK));
        }
        EXPECT_TRUE(EndsWith(run, 0));
    }
}

TEST(WholeRun, UpdateMessageTurnsBackslashNIntoALineBreak)
{
    UpdateScenario s;
    // A real backslash and 'n'; after 表 (95 5C) the 5C is a trail byte and "\n" is no escape.
    s.setup.Set("UpdateMessage", "1行目\\n2行目 表n \\t");
    ASSERT_TRUE(Prepare(s));
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    EXPECT_TRUE(SeeBox(run, ErrorBox("1行目\r2行目 表n \\t", "UPDATE"), IDOK));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, s.DefaultCaption()));
}

TEST(WholeRun, CaptionComesFromUpdaterTitleOrTitleAndVersion)
{
    struct {
        const char* updaterTitle;
        const char* version;
        const char* caption;
    } cases[] = {
        {"", "1.02", "風鈴坂テスト アップデータ 1.02"},
        {"", "", "風鈴坂テスト アップデータ "},
        {"風鈴坂 更新プログラム", "1.02", "風鈴坂 更新プログラム"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        UpdateScenario s;
        if (*c.updaterTitle)
            s.setup.Set("UpdaterTitle", c.updaterTitle);
        if (*c.version)
            s.setup.Set("UpdaterVersion", c.version);
        else
            s.setup.Drop("UpdaterVersion");
        ASSERT_TRUE(Prepare(s));
        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        HWND wizard = run.WaitForWizard();
        ASSERT_TRUE(wizard) << run.problem;
        EXPECT_EQ(WindowTitle(wizard), c.caption);
        // The update wording names the game, whatever the updater's title.
        EXPECT_TRUE(ShowsText(wizard, "「風鈴坂テスト」のアップデートを開始します"));
        EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, c.caption));
    }
}

TEST(WholeRun, SecondCopyBringsTheFirstToTheFrontAndLeavesItsFileAlone)
{
    UpdateScenario s;
    s.setup.Set("UpdateMessage", "更新のお知らせ");
    ASSERT_TRUE(Prepare(s));

    UpdaterRun first;
    ASSERT_TRUE(first.Start(s.exePath, s.tempDir));
    EXPECT_TRUE(SeeBox(first, ErrorBox("更新のお知らせ", "UPDATE"), IDOK));
    HWND wizard = first.WaitForWizard();
    ASSERT_TRUE(wizard) << first.problem;
    std::string firstFile;
    ASSERT_TRUE(OwnTemporaryFile(first, s, &firstFile));
    // Hidden, so that the second copy's ShowWindow can be seen.
    ShowWindow(wizard, SW_HIDE);
    ASSERT_FALSE(IsWindowVisible(wizard));

    {
        UpdaterRun second;
        ASSERT_TRUE(second.Start(s.exePath, s.tempDir));
        // Its own message still comes first; then it finds the first copy and goes without a word.
        EXPECT_TRUE(SeeBox(second, ErrorBox("更新のお知らせ", "UPDATE"), IDOK));
        std::string what;
        ASSERT_TRUE(second.WaitForExit(&what)) << what;
        EXPECT_EQ(second.exitCode, 0u);
    }
    EXPECT_TRUE(IsWindowVisible(wizard)) << "the first copy's wizard was not shown again";
    std::vector<std::string> files = FilesMatching(s.tempDir, "UPD*.tmp");
    ASSERT_EQ(files.size(), 1u) << "the second copy left its file, or took the first one's";
    EXPECT_EQ(files[0], firstFile);
    EXPECT_EQ(first.VisibleDialogs().size(), 1u) << "only the first wizard";

    // The first copy still reads its description file when the job runs.
    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
    ASSERT_TRUE(RunJobToEnd(wizard));
    EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second);
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(first, 1));
}

std::string RunningGameQuestion(const std::string& title)
{
    return "「" + title +
           "」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は "
           "[キャンセル] を押して下さい";
}

TEST(WholeRun, RunningGameIsAskedAboutUntilItCloses)
{
    UpdateScenario s;
    ASSERT_TRUE(Prepare(s));
    GameWindow game(s.gameClass, s.gameTitle);
    ASSERT_TRUE(game.window);

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    ExpectedBox question{RunningGameQuestion(s.gameTitle), s.DefaultCaption(), false, true, nullptr};
    EXPECT_TRUE(SeeBox(run, question, IDOK)) << "OK while the game still runs";
    // Asked again; the player quits the game before answering.
    EXPECT_TRUE(SeeBox(run, question, IDOK, [&game] { game.Close(); })) << "asked again";
    EXPECT_TRUE(UpdatesToTheEnd(run));
}

TEST(WholeRun, CancelWhileTheGameRunsShowsTheGameAndStops)
{
    struct {
        const char* name;
        bool secondTitle;
    } cases[] = {{"game title", false}, {"second game title", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        std::string titleA = "風鈴坂テスト 体験版";
        s.setup.Set("GameTitleA", titleA);
        ASSERT_TRUE(Prepare(s));
        GameWindow game(s.gameClass, c.secondTitle ? titleA : s.gameTitle);
        ASSERT_TRUE(game.window);
        ASSERT_FALSE(IsWindowVisible(game.window));

        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        ExpectedBox question{RunningGameQuestion(c.secondTitle ? titleA : s.gameTitle), s.DefaultCaption(), false,
                             true, nullptr};
        EXPECT_TRUE(SeeBox(run, question, IDCANCEL));
        // No "interrupted" box follows: the run just ends.
        EXPECT_TRUE(EndsWith(run, 0));
        EXPECT_TRUE(IsWindowVisible(game.window)) << "the game's window was not brought up";
    }
}

TEST(WholeRun, AgreementMustBeAcceptedBeforeNext)
{
    UpdateScenario s;
    std::string agreement = "第1条 本ソフトウェアの著作権は…\r\n第2条 再配布を禁じます。\r\n";
    s.setup.Set("AgreementText", "AGREE.TXT");
    s.setup.Set("AgreementTitle", "TITLE.TXT");
    s.payload.push_back({"AGREE.TXT", agreement});
    s.payload.push_back({"TITLE.TXT", "利用規約 100%%"});
    ASSERT_TRUE(Prepare(s));

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    EXPECT_TRUE(ShowsText(wizard, "利用規約 100%"));
    EXPECT_EQ(ControlText(wizard, AgreementBox), agreement);
    EXPECT_TRUE(ControlVisible(wizard, AgreementBox));
    EXPECT_TRUE(RadioChecked(wizard, Disagree));
    EXPECT_FALSE(RadioChecked(wizard, Agree));
    EXPECT_FALSE(ControlEnabled(wizard, Next));
    EXPECT_FALSE(ControlEnabled(wizard, Back));
    EXPECT_FALSE(Click(wizard, Next)) << "Next must not be clickable before the agreement";

    struct {
        int click;
        bool nextEnabled;
    } steps[] = {{Agree, true}, {Disagree, false}, {Agree, true}};
    for (const auto& step : steps) {
        ASSERT_TRUE(Click(wizard, step.click));
        EXPECT_TRUE(WaitForEnabled(wizard, Next, step.nextEnabled)) << "after clicking " << step.click;
        EXPECT_TRUE(RadioChecked(wizard, step.click));
        EXPECT_FALSE(RadioChecked(wizard, step.click == Agree ? Disagree : Agree));
    }

    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
    EXPECT_FALSE(ControlVisible(wizard, AgreementBox));
    EXPECT_FALSE(ControlVisible(wizard, Agree));
    EXPECT_FALSE(ControlVisible(wizard, Disagree));
    ASSERT_TRUE(RunJobToEnd(wizard));
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
    EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second);
}

TEST(WholeRun, InstallWordingNamesTheUpdaterTitle)
{
    UpdateScenario s;
    s.setup.Set("ModeTextUpdateOrInstall", "1");
    s.setup.Set("UpdaterTitle", "風鈴坂 追加シナリオ");
    ASSERT_TRUE(Prepare(s, 2));  // the full installation, which the voice item is for
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    EXPECT_EQ(WindowTitle(wizard), "風鈴坂 追加シナリオ");
    EXPECT_TRUE(ShowsText(wizard, "「風鈴坂 追加シナリオ」のインストールを開始します"));
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(ShowsText(wizard, "インストールを実行します"));
    ASSERT_TRUE(RunJobToEnd(wizard, "インストール"));
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
    EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second);
    EXPECT_EQ(ReadBytes(s.instPath + "\\voice.dat"), "voice 1.02");
}

unsigned long long FreeBytes(const char* root)
{
    ULARGE_INTEGER caller{}, total{}, totalFree{};
    GetDiskFreeSpaceExA(root, &caller, &total, &totalFree);
    return caller.QuadPart;
}

TEST(WholeRun, DiskShortageOnTheInstallationDrive)
{
    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    struct {
        const char* name;
        bool freeSpaceAndRetry;  // else Cancel at the shortage
    } cases[] = {{"Back after freeing space", true}, {"Cancel", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSmallDisk();
        UpdateScenario s;
        s.instPath = "F:\\風鈴坂";
        s.update.Set("RequiredDiskSpace", "700000");
        ASSERT_TRUE(Prepare(s));
        ASSERT_TRUE(WriteBytes("F:\\filler.bin", std::string(600000, 'f')));

        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        HWND wizard = run.WaitForWizard();
        ASSERT_TRUE(wizard) << run.problem;
        ASSERT_TRUE(Click(wizard, Next));
        ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
        unsigned long long free = FreeBytes("F:\\");
        ASSERT_LT(free, 700000u);
        std::string shortage = "ディスク容量が足りません。\rF: ドライブに " + std::to_string(700000 - free) +
                               " バイトの空き容量が必要です";
        ASSERT_TRUE(Click(wizard, Next));
        ASSERT_TRUE(ShowsText(wizard, shortage));
        EXPECT_TRUE(ControlEnabled(wizard, Back));
        EXPECT_FALSE(ControlEnabled(wizard, Next));
        EXPECT_TRUE(ControlEnabled(wizard, Cancel));
        EXPECT_EQ(ControlText(wizard, Next), "次へ");

        if (!c.freeSpaceAndRetry) {
            EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, s.DefaultCaption()));
            EXPECT_FALSE(PathExists(s.instPath + "\\scenario.dat"));
            continue;
        }
        // Back, and the same test again while the disk is still full.
        ASSERT_TRUE(Click(wizard, Back));
        ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
        EXPECT_FALSE(ControlEnabled(wizard, Back));
        ASSERT_TRUE(Click(wizard, Next));
        ASSERT_TRUE(ShowsText(wizard, shortage));
        // The player makes room, goes back and tries again.
        ASSERT_TRUE(DeleteFileA("F:\\filler.bin"));
        ASSERT_TRUE(Click(wizard, Back));
        ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
        ASSERT_TRUE(RunJobToEnd(wizard));
        EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second);
        ASSERT_TRUE(Click(wizard, Next));
        EXPECT_TRUE(EndsWith(run, 1));
    }
    ClearSmallDisk();
}

TEST(WholeRun, CopyFromTheDiscAsksForItUntilItIsInserted)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    struct {
        const char* name;
        bool insert;  // else Cancel at the prompt
    } cases[] = {{"disc inserted at the second prompt", true}, {"Cancel at the prompt", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CdDrives drives;
        // Another disc of the set is in D:; E: is empty.
        ASSERT_TRUE(WriteBytes("D:\\DISK2.CHK", ""));
        ASSERT_TRUE(WriteFileMakingFolders("D:\\movie\\op.dat", "disc 2 movie"));
        UpdateScenario s;
        s.update.Set("CopyFile00", "1:movie\\op.dat");
        s.update.Set("CopyFile01", "extra");  // no disk number: the drive found for disk 1
        ASSERT_TRUE(Prepare(s));

        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        HWND wizard = run.WaitForWizard();
        ASSERT_TRUE(wizard) << run.problem;
        ASSERT_TRUE(Click(wizard, Next));
        ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
        ASSERT_TRUE(Click(wizard, Next));
        ExpectedBox prompt{"ＣＤ－ＲＯＭドライブに「風鈴坂テスト」ディスク 1 を入れて下さい", s.DefaultCaption(),
                           false, true, wizard};
        if (!c.insert) {
            EXPECT_TRUE(SeeBox(run, prompt, IDCANCEL));
            EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, s.DefaultCaption(), wizard), IDOK));
            EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, s.DefaultCaption()), IDOK));
            EXPECT_TRUE(EndsWith(run, 0));
            // Nothing of the update was written, the update items before the copies included.
            EXPECT_FALSE(PathExists(s.instPath + "\\scenario.dat"));
            EXPECT_FALSE(PathExists(s.instPath + "\\movie"));
            continue;
        }
        EXPECT_TRUE(SeeBox(run, prompt, IDOK)) << "OK with no disc in";
        auto insertDisc = [] {
            WriteBytes("E:\\DISK1.CHK", "");
            WriteFileMakingFolders("E:\\movie\\op.dat", "opening movie");
            WriteFileMakingFolders("E:\\extra\\おまけ.txt", "おまけ");
            // Files on a disc are read-only; the copies in the installation must not be.
            SetFileAttributesA("E:\\movie\\op.dat", FILE_ATTRIBUTE_READONLY);
            SetFileAttributesA("E:\\extra\\おまけ.txt", FILE_ATTRIBUTE_READONLY);
        };
        EXPECT_TRUE(SeeBox(run, prompt, IDOK, insertDisc)) << "asked again; the disc goes into E: meanwhile";
        std::string last;
        ASSERT_TRUE(WaitForControlText(wizard, Info, "アップデートは完了しました", &last)) << last;
        EXPECT_EQ(ReadBytes(s.instPath + "\\movie\\op.dat"), "opening movie");
        EXPECT_EQ(ReadBytes(s.instPath + "\\extra\\おまけ.txt"), "おまけ");
        EXPECT_EQ(GetFileAttributesA((s.instPath + "\\movie\\op.dat").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        EXPECT_EQ(GetFileAttributesA((s.instPath + "\\extra\\おまけ.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        ASSERT_TRUE(Click(wizard, Next));
        EXPECT_TRUE(EndsWith(run, 1));
    }
}

}  // namespace

namespace {

// A temporary folder that cannot hold our file name stops the run with a message, instead of extracting
// UPDATE.INI into (and deleting it from) the current folder.
TEST(WholeRun, TemporaryFolderTooLongStopsBeforeWritingAnything)
{
    UpdateScenario s;
    ASSERT_TRUE(Prepare(s));
    std::string longTemp = s.tempDir + "\\" + std::string(250, 't');
    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, longTemp));
    EXPECT_TRUE(SeeBox(run, ErrorBox("一時フォルダーが見つからないか、パスが長すぎます", "UPDATE"), IDOK));
    std::string what;
    ASSERT_TRUE(run.WaitForExit(&what)) << what;
    EXPECT_EQ(run.exitCode, 0u);
    std::string exeFolder = s.exePath.substr(0, s.exePath.find_last_of('\\'));
    EXPECT_TRUE(FilesMatching(exeFolder, "UPDATE.INI").empty());
    EXPECT_TRUE(FilesMatching(s.tempDir, "UPD*.tmp").empty());
}

}  // namespace

namespace {

// The updater's own UPD*.tmp files in the per-user folders under the system's temporary folder.
std::vector<std::string> FilesInPrivateTempFolders()
{
    char windows[MAX_PATH] = "";
    GetSystemWindowsDirectoryA(windows, sizeof windows);
    std::string temp = std::string(windows) + "\\Temp";
    std::vector<std::string> files;
    for (const std::string& folder : FilesMatching(temp, "UPD-*"))
        for (const std::string& name : FilesMatching(temp + "\\" + folder, "UPD*.tmp"))
            files.push_back(temp + "\\" + folder + "\\" + name);
    return files;
}

// A player whose user name has a character outside the code page ("é" on a Japanese system, "Ł" on a Western
// one): the temporary folder has no ANSI form, and the update runs all the same, through the folder's short
// name or, when there is none, a folder of the user's own.
TEST(WholeRun, TemporaryFolderNamedOutsideTheCodePageStillUpdates)
{
    struct {
        const char* name;
        bool exists;  // else the folder is missing, so it has no short name either
    } cases[] = {{"through the short name", true}, {"through a folder of the user's own", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        ASSERT_TRUE(Prepare(s));
        std::wstring temp = FromAnsi(s.tempDir) + L"\\Jos\u00e9-\u0141ukasz";
        if (c.exists) {
            ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        }
        std::vector<std::string> before = FilesInPrivateTempFolders();

        UpdaterRun run;
        ASSERT_TRUE(run.StartWithWideTemp(s.exePath, temp));
        HWND wizard = run.WaitForWizard();
        ASSERT_TRUE(wizard) << run.problem;
        if (c.exists) {
            ASSERT_FALSE(run.tempDir.empty()) << "the test folder has no short name";
            EXPECT_TRUE(OwnTemporaryFile(run, s, nullptr));
        } else {
            std::vector<std::string> during = FilesInPrivateTempFolders();
            ASSERT_EQ(during.size(), before.size() + 1) << "the updater's file is not in a folder of the user's own";
        }
        ASSERT_TRUE(UpdateFromTheFirstPage(wizard));
        if (c.exists) {
            EXPECT_TRUE(EndsWith(run, 1));
        } else {
            std::string what;
            ASSERT_TRUE(run.WaitForExit(&what)) << what;
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_EQ(FilesInPrivateTempFolders(), before) << "the updater's file was left behind";
            EXPECT_EQ(GetFileAttributesW(temp.c_str()), INVALID_FILE_ATTRIBUTES) << "the missing folder was made";
        }
        EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), s.payload[0].second);
    }
}

// The names in a folder, as UTF-16.
std::vector<std::wstring> NamesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (lstrcmpW(found.cFileName, L".") && lstrcmpW(found.cFileName, L".."))
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// A game unpacked by a Unicode tool on a system with another code page keeps its files under their real names,
// not under what the ANSI calls make of the cp932 bytes. An item whose file is missing under the ANSI name but
// present under the real one updates that file; on a code page 932 system the two names are one.
TEST(WholeRun, FilesUnderTheirRealJapaneseNamesAreUpdatedInPlace)
{
    const unsigned long long day = 864000000000ull;
    UpdateScenario s;
    s.update = IniSection();
    s.update.Set("UpdateFile00", "o,説明書.txt");      // only over an existing file
    s.update.Set("UpdateFile01", "o,効果音\\表示.dat");  // a folder, and 表 whose trail byte is 0x5C
    s.update.Set("UpdateFile02", "u,更新履歴.txt");    // the installed file is newer: kept
    s.update.Set("UpdateFile03", "新規.txt");          // missing under both names: written as the game reads it
    s.payload = {
        {"説明書.txt", "説明書 1.02"},
        {"表示.dat", "表示 1.02"},
        {"更新履歴.txt", "履歴 1.02"},
        {"新規.txt", "新規 1.02"},
    };
    ASSERT_TRUE(Prepare(s));
    struct {
        const char* name;
        const char* bytes;
        unsigned long long time;
    } unpacked[] = {
        {"説明書.txt", "説明書 1.00", PayloadTime - day},
        {"効果音\\表示.dat", "表示 1.00", PayloadTime - day},
        {"更新履歴.txt", "履歴 (編集済み)", PayloadTime + day},
    };
    for (const auto& file : unpacked)
        ASSERT_TRUE(WriteFileUnderCp932Name(s.instPath + "\\" + file.name, file.bytes, file.time)) << file.name;

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(UpdateFromTheFirstPage(wizard));
    EXPECT_TRUE(EndsWith(run, 1));

    EXPECT_EQ(ReadFileUnderCp932Name(s.instPath + "\\説明書.txt"), "説明書 1.02");
    EXPECT_EQ(ReadFileUnderCp932Name(s.instPath + "\\効果音\\表示.dat"), "表示 1.02");
    EXPECT_EQ(ReadFileUnderCp932Name(s.instPath + "\\更新履歴.txt"), "履歴 (編集済み)");
    EXPECT_EQ(ReadBytes(s.instPath + "\\新規.txt"), "新規 1.02");
    // Nothing beside them under another name.
    std::vector<std::wstring> expected = {L"SETUP.INI", FromCp932("説明書.txt"), FromCp932("効果音"),
                                          FromCp932("更新履歴.txt"), FromAnsi("新規.txt")};
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(NamesIn(FromAnsi(s.instPath)) == expected);
    EXPECT_TRUE(NamesIn(FromCp932(s.instPath + "\\効果音")) == std::vector<std::wstring>{FromCp932("表示.dat")});
}

// The same game, with a file the update replaces last held open by another program: the commit fails after the
// files under their real names went in, and every one of them is back under its real name, as it was.
TEST(WholeRun, FilesUnderTheirRealJapaneseNamesAreRestoredWhenTheJobFails)
{
    const unsigned long long day = 864000000000ull;
    UpdateScenario s;
    s.update = IniSection();
    s.update.Set("UpdateFile00", "o,説明書.txt");
    s.update.Set("UpdateFile01", "o,効果音\\表示.dat");
    s.update.Set("UpdateFile02", "last.dat");
    s.payload = {{"説明書.txt", "説明書 1.02"}, {"表示.dat", "表示 1.02"}, {"last.dat", "last 1.02"}};
    ASSERT_TRUE(Prepare(s));
    ASSERT_TRUE(WriteFileUnderCp932Name(s.instPath + "\\説明書.txt", "説明書 1.00", PayloadTime - day));
    ASSERT_TRUE(WriteFileUnderCp932Name(s.instPath + "\\効果音\\表示.dat", "表示 1.00", PayloadTime - day));
    ASSERT_TRUE(WriteBytes(s.instPath + "\\last.dat", "last 1.00"));
    Sleep(20);
    TreeSnapshot before = SnapshotTree(s.instPath);
    std::vector<std::wstring> names = NamesIn(FromAnsi(s.instPath));
    HANDLE inUse = CreateFileA((s.instPath + "\\last.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(inUse, INVALID_HANDLE_VALUE);

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
    ASSERT_TRUE(Click(wizard, Next));
    std::string caption = s.DefaultCaption();
    EXPECT_TRUE(SeeBox(run, ErrorBox("ファイルの書き込みに失敗しました", caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
    CloseHandle(inUse);

    EXPECT_EQ(ReadFileUnderCp932Name(s.instPath + "\\説明書.txt"), "説明書 1.00");
    EXPECT_EQ(ReadFileUnderCp932Name(s.instPath + "\\効果音\\表示.dat"), "表示 1.00");
    EXPECT_TRUE(NamesIn(FromAnsi(s.instPath)) == names);
    EXPECT_TRUE(NamesIn(FromCp932(s.instPath + "\\効果音")) == std::vector<std::wstring>{FromCp932("表示.dat")});
    EXPECT_EQ(TreeDifferences(before, SnapshotTree(s.instPath)), "");
}

}  // namespace

namespace {

const char DamagedDownload[] = "アップデータのデータが壊れています。アップデータをもう一度ダウンロードして下さい";

// 17 MiB of game-like data: large enough for fa2 to pack it in LZMA's pieces (from 16 MiB on).
std::string LargeScenario()
{
    std::string data;
    unsigned x = 5;
    while (data.size() < (17u << 20)) {
        x = x * 1103515245u + 12345u;
        data += "scene " + std::to_string(x % 4099) + " line\r\n";
        if ((x >> 28) == 0)
            data += std::string(1 + (x >> 8) % 64, (char)(x >> 16));
    }
    return data;
}

// Offset in the updater file of a byte inside an entry's stored bytes, or of the payload's table.
size_t PlaceInUpdater(const std::string& exe, const char* entryName)
{
    std::string bytes = ReadBytes(exe);
    size_t at = 0, length = 0;
    std::string error;
    if (!FindPeResource((const unsigned char*)bytes.data(), bytes.size(), "UPDATE", 102, &at, &length, &error))
        return 0;
    std::vector<unsigned char> payload(bytes.begin() + at, bytes.begin() + at + length);
    LoadedArchive archive;
    if (!OpenLoadedArchive(&payload, &archive, &error))
        return 0;
    if (!entryName)
        return at + LoadedTable(archive)->header.tableOffset + 8;
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i)
        if (EntryName(LoadedEntry(archive, i)) == entryName)
            return at + (size_t)archive.dataOffsets[i] + LoadedEntry(archive, i)->storedSize / 2;
    return 0;
}

}  // namespace

// A download damaged on its way (one byte of the payload flipped) is refused with the download-again message:
// at the start when the table, UPDATE.INI or an agreement text is hit, in the update job when a file to be
// written is; either way the run ends with 0 and the installed game is exactly as it was.
TEST(WholeRun, DamagedDownloadIsRefusedAndTheGameStaysAsItWas)
{
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "scenario line " + std::to_string(i % 23) + "\r\n";
    struct {
        const char* name;
        const char* options;
        const char* entry;  // damaged entry, or null for the table
        bool atStart;
    } cases[] = {
        {"the table", "", nullptr, true},
        {"UPDATE.INI", "--store", "UPDATE.INI", true},
        {"the agreement text", "", "AGREE.TXT", true},
        {"a stored file", "--store", "scenario.dat", false},
        {"a compressed file", "", "scenario.dat", false},
        {"a scrambled file", "--scramble", "scenario.dat", false},
        {"a scrambled stored file", "--store --scramble", "scenario.dat", false},
        {"a file in LZMA pieces, between them", "--codec lzma --fast --scramble", "scenario.dat", false},
    };
    const std::string large = LargeScenario();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateScenario s;
        s.buildOptions = c.options;
        s.payload[0].second = strstr(c.options, "lzma") ? large : text;
        s.setup.Set("AgreementText", "AGREE.TXT");
        s.payload.push_back({"AGREE.TXT", std::string(2000, 'A') + "\r\n"});
        ASSERT_TRUE(Prepare(s));
        ASSERT_TRUE(WriteFileMakingFolders(s.instPath + "\\scenario.dat", "scenario 1.00"));
        ASSERT_TRUE(WriteFileMakingFolders(s.instPath + "\\bgm\\theme.dat", "theme 1.00"));
        size_t at = PlaceInUpdater(s.exePath, c.entry);
        ASSERT_NE(at, 0u);
        std::string exe = ReadBytes(s.exePath);
        exe[at] ^= 0x08;
        ASSERT_TRUE(WriteBytes(s.exePath, exe));

        UpdaterRun run;
        ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
        if (!c.atStart) {
            HWND wizard = run.WaitForWizard();
            ASSERT_TRUE(wizard) << run.problem;
            ASSERT_TRUE(Click(wizard, Agree));
            ASSERT_TRUE(WaitForEnabled(wizard, Next, true));
            ASSERT_TRUE(Click(wizard, Next));
            ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));
            ASSERT_TRUE(Click(wizard, Next));
        }
        SeenBox box;
        ASSERT_TRUE(run.WaitForBox(&box)) << run.problem;
        EXPECT_EQ(box.text, DamagedDownload);
        EXPECT_TRUE(box.icon);
        // Whatever follows the message (the job's own report of the stop), the run ends with 0.
        while (run.Answer(box, IDOK) && run.WaitForBox(&box, 2000)) {
        }
        EXPECT_TRUE(EndsWith(run, 0));
        EXPECT_EQ(ReadBytes(s.instPath + "\\scenario.dat"), "scenario 1.00");
        EXPECT_EQ(ReadBytes(s.instPath + "\\bgm\\theme.dat"), "theme 1.00");
        EXPECT_FALSE(PathExists(s.instPath + "\\説明書.txt"));
    }
}

// A file large enough for LZMA's pieces, built by fa2.exe and written by the updater through one window, to the
// byte and with its time.
TEST(WholeRun, AFileInLzmaPiecesIsWrittenToTheByte)
{
    UpdateScenario s;
    s.buildOptions = "--codec lzma --fast";
    s.payload[0].second = LargeScenario();
    ASSERT_TRUE(Prepare(s));
    ASSERT_TRUE(WriteFileMakingFolders(s.instPath + "\\scenario.dat", "scenario 1.00"));

    UpdaterRun run;
    ASSERT_TRUE(run.Start(s.exePath, s.tempDir));
    EXPECT_TRUE(UpdatesToTheEnd(run));
    EXPECT_TRUE(ReadBytes(s.instPath + "\\scenario.dat") == s.payload[0].second);
    EXPECT_EQ(LastWriteTime(s.instPath + "\\scenario.dat"), PayloadTime);
}
