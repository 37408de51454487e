// Whole runs of the update job, driven from outside as the player would: a fault at each item's position (a full
// disk, a file in use, a damaged entry, a missing folder, the disc prompt declined, the process killed while it
// stages and while it commits, then started again), Cancel in the middle of a job, a second start during a job,
// and a wizard that keeps answering through a long job. After every failure the installation is exactly what it
// was: contents, sizes, last-write times (folders' too), attributes, and no file more or less.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "driver.h"
#include "run_checks.h"

namespace {

const int Back = 4;
const char WriteFailure[] = "ファイルの書き込みに失敗しました";
// fa2 build packs a sum of every entry beside the payload, so a spoilt entry is a damaged download.
const char DamagedDownload[] = "アップデータのデータが壊れています。アップデータをもう一度ダウンロードして下さい";
const char RolledBackAtStart[] = "前回のアップデートは途中で終わっていたため、ゲームのファイルを元に戻しました";
const unsigned long long Day = 864000000000ull;

// Text that compresses, so that its entry is stored compressed and a spoilt code word shows when it is decoded.
std::string Lines(const std::string& name, size_t bytes)
{
    std::string text;
    for (int line = 0; text.size() < bytes; ++line)
        text += name + " 1.02 line " + std::to_string(line) + "\r\n";
    text.resize(bytes);
    return text;
}

// A game whose update replaces three installed files (one of them read-only, one in a sub folder) and copies a
// folder from disc 1.
struct JobGame {
    UpdateScenario s;
    CdDrives drives;
    std::vector<std::string> items = {"a.dat", "sub\\b.dat", "c.dat"};

    explicit JobGame(const std::string& instPath = "")
    {
        if (!instPath.empty())
            s.instPath = instPath;
        s.update.keys.clear();
        s.payload.clear();
    }

    // `sizes`: each item's entry size.
    ::testing::AssertionResult Prepare(const std::vector<size_t>& sizes = {20000, 20000, 20000})
    {
        for (size_t i = 0; i < items.size(); ++i) {
            char key[16];
            wsprintfA(key, "UpdateFile%02d", (int)i);
            s.update.Set(key, items[i]);
            std::string name = items[i].substr(items[i].rfind('\\') + 1);
            s.payload.push_back({name, Lines(name, sizes[i])});
        }
        s.update.Set("CopyFile00", "1:movie");
        if (!WriteBytes("D:\\DISK1.CHK", "") || !WriteFileMakingFolders("D:\\movie\\op.dat", Lines("op", 30000)) ||
            !WriteFileMakingFolders("D:\\movie\\ed\\ed.dat", Lines("ed", 10000)))
            return ::testing::AssertionFailure() << "cannot put disc 1 in D:";
        ::testing::AssertionResult prepared = ::Prepare(s);
        if (!prepared)
            return prepared;
        // The installed version: older files, one read-only, and folders last written long ago.
        const char* installed[] = {"a.dat", "sub\\b.dat", "c.dat", "other.dat"};
        for (const char* name : installed) {
            std::string path = s.instPath + "\\" + name;
            if (!WriteFileMakingFolders(path, std::string("1.01 ") + name) ||
                !SetLastWriteTime(path, PayloadTime - Day))
                return ::testing::AssertionFailure() << "cannot install " << path;
        }
        SetFileAttributesA((s.instPath + "\\c.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        for (const std::string& folder : {s.instPath + "\\sub", s.instPath, s.dataPath})
            SetLastWriteTime(folder, PayloadTime - 2 * Day);
        return ::testing::AssertionSuccess();
    }

    TreeSnapshot Snapshot() const
    {
        return SnapshotInstallation(s.instPath, s.dataPath);
    }

    std::string Target(int position) const
    {
        return s.instPath + "\\" + items[position];
    }
};

// Spoils the first code word of a compressed entry inside a built updater: only decoding it shows the damage.
::testing::AssertionResult DamageEntry(const std::string& exe, const std::string& name)
{
    std::string payload;
    if (!ReadPayload(exe, &payload))
        return ::testing::AssertionFailure() << "no payload in " << exe;
    ArchiveTable* table = OpenArchive(payload.data(), (uint32_t)payload.size());
    const ArchiveEntry* entry = nullptr;
    uint64_t offset = 0;
    bool found = table && FindArchiveEntry(table, name.c_str(), &entry, &offset);
    bool compressed = found && (entry->storage & EntryStorageCompressed);
    if (table)
        GlobalFree(table);
    if (!compressed)
        return ::testing::AssertionFailure() << name << " is not a compressed entry of the payload";
    std::string image = ReadBytes(exe);
    size_t at = image.find(payload.substr(0, 4096));
    if (at == std::string::npos)
        return ::testing::AssertionFailure() << "the payload's bytes are not in " << exe;
    memset(&image[at + offset], 0, 4);
    if (!WriteBytes(exe, image))
        return ::testing::AssertionFailure() << "cannot write " << exe;
    return ::testing::AssertionSuccess();
}

// Through the wizard to the start of the job.
HWND StartJob(UpdaterRun& run, const JobGame& game)
{
    if (!run.Start(game.s.exePath, game.s.tempDir))
        return nullptr;
    HWND wizard = run.WaitForWizard();
    if (!wizard || !Click(wizard, Next) || !ShowsText(wizard, "アップデートを実行します") || !Click(wizard, Next))
        return nullptr;
    return wizard;
}

// The start after a killed run: it puts the files back first, says so, then goes on as usual. (The killed run's
// own UPDATE.INI stays in its temporary folder, where nothing could delete it; the new run gets one of its own.)
::testing::AssertionResult StartAgainAndLeave(const JobGame& game)
{
    UpdaterRun again;
    std::string temp = game.s.tempDir + "\\again";
    CreateDirectoryA(temp.c_str(), nullptr);
    if (!again.Start(game.s.exePath, temp))
        return ::testing::AssertionFailure() << "cannot start the updater again";
    ::testing::AssertionResult notice = SeeBox(again, NoticeBox(RolledBackAtStart, "UPDATE"), IDOK);
    if (!notice)
        return notice;
    HWND wizard = again.WaitForWizard();
    if (!wizard)
        return ::testing::AssertionFailure() << again.problem;
    return CancelIsReportedAsInterrupted(again, wizard, game.s.DefaultCaption());
}

enum Fault { DiskFull, TargetInUse, DamagedEntry, MissingFolder, KilledWhileStaging, KilledWhileCommitting };

TEST(WholeRunJob, AFaultAtAnyItemLeavesTheGameAsItWas)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    bool smallDisk = SmallDiskAvailable(&why);
    struct {
        const char* name;
        Fault fault;
    } faults[] = {
        {"disk full", DiskFull},
        {"a target in use by another program", TargetInUse},
        {"a damaged entry", DamagedEntry},
        {"a missing sub folder", MissingFolder},
        {"killed while staging", KilledWhileStaging},
        {"killed while committing", KilledWhileCommitting},
    };
    for (const auto& f : faults) {
        for (int position = 0; position < 3; ++position) {
            SCOPED_TRACE(std::string(f.name) + " at item " + std::to_string(position));
            if (f.fault == DiskFull && !smallDisk) {
                ADD_FAILURE() << why;  // scripts/test runs as root and has the small disk
                continue;
            }
            if (f.fault == DiskFull)
                ClearSmallDisk();
            JobGame game(f.fault == DiskFull ? "F:\\風鈴坂" : "");
            std::vector<size_t> sizes = {20000, 20000, 20000};
            if (f.fault == DiskFull)
                sizes[position] = 1100000;  // the whole disk is 1 MiB
            if (f.fault == MissingFolder)
                game.items[position] = "nosub\\" + game.items[position].substr(game.items[position].rfind('\\') + 1);
            ASSERT_TRUE(game.Prepare(sizes));
            std::string item = game.items[position];
            std::string entry = item.substr(item.rfind('\\') + 1);
            if (f.fault == DamagedEntry || f.fault == KilledWhileStaging) {
                ASSERT_TRUE(DamageEntry(game.s.exePath, entry));
            }
            HANDLE inUse = INVALID_HANDLE_VALUE;
            if (f.fault == TargetInUse || f.fault == KilledWhileCommitting) {
                inUse = CreateFileA(game.Target(position).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
                ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
            }
            Sleep(20);
            TreeSnapshot before = game.Snapshot();

            UpdaterRun run;
            HWND wizard = StartJob(run, game);
            ASSERT_TRUE(wizard) << run.problem;
            std::string caption = game.s.DefaultCaption();
            switch (f.fault) {
            case DiskFull: {
                // The shortage page: Back enabled, Next not; nothing was touched.
                EXPECT_TRUE(WaitForEnabled(wizard, Back, true));
                EXPECT_FALSE(ControlEnabled(wizard, Next));
                std::string last = ControlText(wizard, Info).Cp932();
                EXPECT_EQ(last.rfind("ディスク容量が足りません。\rF: ドライブに ", 0), 0u) << last;
                EXPECT_NE(last.find(" バイトの空き容量が必要です"), std::string::npos) << last;
                EXPECT_TRUE(CancelIsReportedAsInterrupted(run, wizard, caption));
                break;
            }
            case TargetInUse:
            case MissingFolder:
                EXPECT_TRUE(SeeBox(run, ErrorBox(WriteFailure, caption, wizard), IDOK));
                EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
                EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
                EXPECT_TRUE(EndsWith(run, 0));
                break;
            case DamagedEntry:
                EXPECT_TRUE(SeeBox(run, ErrorBox(DamagedDownload, caption, wizard), IDOK));
                EXPECT_TRUE(SeeBox(run, ErrorBox(WriteFailure, caption, wizard), IDOK));
                EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
                EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
                EXPECT_TRUE(EndsWith(run, 0));
                break;
            case KilledWhileStaging:
            case KilledWhileCommitting: {
                // Killed while the failure's box is up: the staged files (and, while committing, the files
                // already moved in) are left as a killed run leaves them.
                SeenBox box;
                ASSERT_TRUE(run.WaitForBox(&box)) << run.problem;
                EXPECT_EQ(box.text, f.fault == KilledWhileStaging ? DamagedDownload : WriteFailure);
                EXPECT_FALSE(FilesMatching(game.s.instPath, "~*").empty()) << "nothing staged to leave behind";
                run.Kill();
                if (inUse != INVALID_HANDLE_VALUE)
                    CloseHandle(inUse);
                inUse = INVALID_HANDLE_VALUE;
                EXPECT_TRUE(StartAgainAndLeave(game));
                break;
            }
            }
            if (inUse != INVALID_HANDLE_VALUE)
                CloseHandle(inUse);
            EXPECT_EQ(TreeDifferences(before, game.Snapshot()), "");
        }
    }
    ClearSmallDisk();
}

// Declining to insert the disc: the update items were planned, nothing was written.
TEST(WholeRunJob, DiscPromptDeclinedLeavesTheGameAsItWas)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    JobGame game;
    ASSERT_TRUE(game.Prepare());
    ASSERT_TRUE(DeleteFileA("D:\\DISK1.CHK"));
    TreeSnapshot before = game.Snapshot();
    UpdaterRun run;
    HWND wizard = StartJob(run, game);
    ASSERT_TRUE(wizard) << run.problem;
    std::string caption = game.s.DefaultCaption();
    ExpectedBox prompt{"ＣＤ－ＲＯＭドライブに「風鈴坂テスト」ディスク 1 を入れて下さい", caption, false, true, wizard};
    EXPECT_TRUE(SeeBox(run, prompt, IDCANCEL));
    EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
    EXPECT_EQ(TreeDifferences(before, game.Snapshot()), "");
}

// A Unix symbolic link at `link` to `target`, made with the system's ln: Wine follows it as a link (a folder's is
// reported with FILE_ATTRIBUTE_REPARSE_POINT, a file's is not) and cannot make one through Win32.
::testing::AssertionResult MakeUnixLink(const std::string& link, const std::string& target)
{
    typedef char*(CDECL * UnixName)(LPCWSTR);
    UnixName unixName = (UnixName)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    if (!unixName)
        return ::testing::AssertionFailure() << "not under Wine";
    char* from = unixName(FromAnsi(target).c_str());
    char* to = unixName(FromAnsi(link).c_str());
    std::string command = std::string("Z:\\bin\\ln -s \"") + (from ? from : "") + "\" \"" + (to ? to : "") + "\"";
    HeapFree(GetProcessHeap(), 0, from);
    HeapFree(GetProcessHeap(), 0, to);
    // Started without pipes of ours (a Unix program's end does not close a Win32 pipe's other end here), and
    // judged by the link it leaves: Wine reports no exit code of a Unix program.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA("Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    for (int wait = 0; wait < 50 && GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(100);
    if (GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ::testing::AssertionFailure() << command << ": no link made";
    return ::testing::AssertionSuccess();
}

// Another user's link inside the game's folder, to a folder of theirs outside it: the job stops before it changes
// anything, with a box that names the link, and neither the game nor the folder outside changes.
TEST(WholeRunJob, ALinkInsideTheGameIsRefusedBeforeAnyChange)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    struct {
        const char* name;
        const char* link;    // below the installation folder; the item of that name is updated through it
        const char* inside;  // what the link stands for, below the outside folder
        bool folder;
    } links[] = {
        {"a folder's link", "sub", "", true},
        {"a file's link", "a.dat", "a.dat", false},
    };
    for (const auto& l : links) {
        SCOPED_TRACE(l.name);
        JobGame game;
        ASSERT_TRUE(game.Prepare());
        std::string outside = game.s.scratch / "outside";
        ASSERT_TRUE(WriteFileMakingFolders(outside + "\\b.dat", "another user's b"));
        ASSERT_TRUE(WriteFileMakingFolders(outside + "\\a.dat", "another user's a"));
        ASSERT_TRUE(SetLastWriteTime(outside + "\\b.dat", PayloadTime - Day));
        ASSERT_TRUE(SetLastWriteTime(outside + "\\a.dat", PayloadTime - Day));
        std::string link = game.s.instPath + "\\" + l.link;
        if (l.folder) {
            ASSERT_TRUE(DeleteFileA((link + "\\b.dat").c_str()));
            ASSERT_TRUE(RemoveDirectoryA(link.c_str()));
        } else {
            ASSERT_TRUE(DeleteFileA(link.c_str()));
        }
        ASSERT_TRUE(MakeUnixLink(link, l.folder ? outside : outside + "\\" + l.inside));
        TreeSnapshot before = game.Snapshot();
        TreeSnapshot outsideBefore = SnapshotInstallation(outside, outside);

        UpdaterRun run;
        HWND wizard = StartJob(run, game);
        ASSERT_TRUE(wizard) << run.problem;
        std::string caption = game.s.DefaultCaption();
        std::string refused = "「" + link +
                              "」は、ゲームのフォルダーの外を指すリンク（ジャンクション、シンボリックリンクまたはハード"
                              "リンク）です。フォルダーの外のファイルを変更しないよう、リンクの先には何もせずに作業を中止"
                              "しました。リンクを取り除いてから、もう一度アップデートを実行して下さい";
        EXPECT_TRUE(SeeBox(run, ErrorBox(refused, caption, wizard), IDOK));
        EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
        EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
        EXPECT_TRUE(EndsWith(run, 0));
        EXPECT_EQ(TreeDifferences(before, game.Snapshot()), "");
        EXPECT_EQ(TreeDifferences(outsideBefore, SnapshotInstallation(outside, outside)), "");
        EXPECT_EQ(ReadBytes(outside + "\\b.dat"), "another user's b");
        EXPECT_TRUE(FilesMatching(game.s.instPath, "~*").empty());
    }
}

// A job long enough to act on while it runs: `megabytes` in ten files.
::testing::AssertionResult PrepareLongJob(JobGame* game, size_t megabytes)
{
    game->items.clear();
    std::vector<size_t> sizes;
    for (int i = 0; i < 10; ++i) {
        game->items.push_back("big" + std::to_string(i) + ".dat");
        sizes.push_back(megabytes * 1024 * 1024 / 10);
    }
    return game->Prepare(sizes);
}

TEST(WholeRunJob, CancelInTheMiddleAsksAndPutsEverythingBack)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    JobGame game;
    ASSERT_TRUE(PrepareLongJob(&game, 40));
    Sleep(20);
    TreeSnapshot before = game.Snapshot();
    UpdaterRun run;
    HWND wizard = StartJob(run, game);
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(ClickCancelOnceTheBarMoves(run, wizard));
    std::string caption = game.s.DefaultCaption();
    ExpectedBox question{CancelQuestion, caption, false, true, wizard};
    EXPECT_TRUE(SeeBox(run, question, IDOK, [&] {
        EXPECT_FALSE(FilesMatching(game.s.instPath, "~*").empty()) << "asked before anything was staged";
    }));
    EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
    EXPECT_EQ(TreeDifferences(before, game.Snapshot()), "");
}

// While a job runs its journal is open: a second start must neither settle it nor run beside it. The first job,
// held still by its Cancel question, then goes on to its end.
TEST(WholeRunJob, SecondStartDuringAJobLeavesItAlone)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    JobGame game;
    ASSERT_TRUE(PrepareLongJob(&game, 20));
    UpdaterRun run;
    HWND wizard = StartJob(run, game);
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(ClickCancelOnceTheBarMoves(run, wizard));
    std::string caption = game.s.DefaultCaption();
    ExpectedBox question{CancelQuestion, caption, false, true, wizard};
    EXPECT_TRUE(SeeBox(run, question, IDCANCEL, [&] {
        TreeSnapshot midway = game.Snapshot();
        ASSERT_TRUE(PathExists(game.s.instPath + "\\~UPDATE.JNL"));
        UpdaterRun second;
        ASSERT_TRUE(second.Start(game.s.exePath, game.s.tempDir));
        std::string what;
        EXPECT_TRUE(second.WaitForExit(&what)) << what;
        EXPECT_EQ(second.exitCode, 0u);
        EXPECT_EQ(TreeDifferences(midway, game.Snapshot()), "");
    }));
    std::string last;
    ASSERT_TRUE(WaitForControlText(wizard, Info, "アップデートは完了しました", &last, 60000)) << last;
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
    EXPECT_EQ(ReadBytes(game.s.instPath + "\\big9.dat"), Lines("big9.dat", 2 * 1024 * 1024));
    EXPECT_TRUE(FilesMatching(game.s.instPath, "~*").empty());
}

// The wizard answers within 250 ms all through the job, and its progress bar moves forward.
void WizardAnswersThroughoutTheJob(size_t megabytes)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    JobGame game;
    ASSERT_TRUE(PrepareLongJob(&game, megabytes));
    UpdaterRun run;
    if (!run.Start(game.s.exePath, game.s.tempDir))
        FAIL() << "cannot start";
    HWND wizard = run.WaitForWizard();
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(ShowsText(wizard, "アップデートを実行します"));

    LARGE_INTEGER frequency, began, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&began);
    ASSERT_TRUE(Click(wizard, Next));
    double slowest = 0;
    int unanswered = 0, polls = 0;
    std::vector<int> positions;
    std::string finished = "アップデートは完了しました";
    for (;;) {
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(wizard, WM_NULL, 0, 0, SMTO_NORMAL, 250, &result))
            ++unanswered;
        QueryPerformanceCounter(&after);
        slowest = std::max(slowest, (after.QuadPart - before.QuadPart) * 1000.0 / frequency.QuadPart);
        ++polls;
        int position = ProgressPosition(wizard);
        if (positions.empty() || positions.back() != position)
            positions.push_back(position);
        if (ControlText(wizard, Info) == finished || run.Ended())
            break;
        QueryPerformanceCounter(&ended);
        ASSERT_LT((ended.QuadPart - began.QuadPart) / frequency.QuadPart, 600) << "the job did not finish";
        Sleep(2);
    }
    QueryPerformanceCounter(&ended);
    double seconds = (ended.QuadPart - began.QuadPart) / (double)frequency.QuadPart;
    ::testing::Test::RecordProperty("JobSeconds", std::to_string(seconds));
    ::testing::Test::RecordProperty("Polls", polls);
    ::testing::Test::RecordProperty("SlowestAnswerMs", std::to_string(slowest));
    ::testing::Test::RecordProperty("ProgressSteps", (int)positions.size());
    printf("%zu MB: job %.2f s, %d polls, slowest WM_NULL answer %.1f ms, %zu progress positions\n", megabytes,
           seconds, polls, slowest, positions.size());
    EXPECT_EQ(unanswered, 0);
    EXPECT_LT(slowest, 250.0);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_GE(positions.size(), 3u) << "the progress bar hardly moved";
    EXPECT_EQ(ProgressPosition(wizard), 10000);
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(EndsWith(run, 1));
    EXPECT_EQ(ReadBytes(game.s.instPath + "\\big0.dat"), Lines("big0.dat", megabytes * 1024 * 1024 / 10));
}

// Long enough, at 80 MB, for the bar to be seen at several places on a fast machine too.
TEST(WholeRunJob, WizardAnswersThroughoutTheJob)
{
    WizardAnswersThroughoutTheJob(80);
}

// The full-size run, by hand: --gtest_also_run_disabled_tests --gtest_filter='*300MB*'
TEST(WholeRunJob, DISABLED_WizardAnswersThroughoutA300MBJob)
{
    WizardAnswersThroughoutTheJob(300);
}

}  // namespace
