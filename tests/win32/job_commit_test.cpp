// The job's phases driven one by one, with the process "dying" between two steps: the journal file is left as a
// killed run leaves it, and the next start's recovery must bring the installation back to exactly what it was,
// or, once every commit step was recorded as done, to exactly what a clean run leaves.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "job/disc_copy.h"
#include "job/job_commit.h"
#include "job/job_journal.h"
#include "job/job_plan.h"
#include "job/job_recovery.h"
#include "job/job_settle.h"
#include "job/job_stage.h"
#include "job/update_section.h"
#include "job_fixture.h"
#include "settings/setup_settings.h"
#include "support/globals.h"
#include "support/updater_values.h"
#include "job/job_seal.h"
#include "job/journal_format.h"

namespace {

const char RolledBack[] = "前回のアップデートは途中で終わっていたため、ゲームのファイルを元に戻しました";
const char CleanedUp[] = "前回のアップデートは完了していました。残っていた一時ファイルを削除しました";
const char Stuck[] =
    "ゲームのファイルを元に戻せませんでした。ファイルを使っているプログラムを終了してから、もう一度アップデートを"
    "実行して下さい";
const char WithoutSeal[] =
    "インストール先にある作業記録 ~UPDATE.JNL には、このアップデータが作業の前に残す記録がありません。このアップデータ"
    "が書いたものと確かめられないため、ゲームのファイルには何もしていません。~UPDATE.JNL を削除してから、もう一度"
    "アップデートを実行して下さい";
const char DiffersFromSeal[] =
    "インストール先にある作業記録 ~UPDATE.JNL は、このアップデータが作業の前に残した記録と内容が違います（ほかの"
    "プログラムかユーザーに書き換えられた可能性があります）。ゲームのファイルには何もしていません。~UPDATE.JNL を"
    "削除し、ゲームをインストールし直してから、もう一度アップデートを実行して下さい";
const char InUse[] =
    "インストール先にある作業記録 ~UPDATE.JNL を、ほかのプログラムが使っています。ゲームのファイルには何もしていま"
    "せん。そのプログラム（ウイルス対策ソフトやバックアップソフトなど）を終了してから、もう一度アップデートを実行"
    "して下さい";
const char Unrecorded[] =
    "ゲームのファイルは元に戻しましたが、そのことを作業記録 ~UPDATE.JNL に書き込めませんでした（読み取り専用になって"
    "いるか、ディスクがいっぱいです）。~UPDATE.JNL の読み取り専用を外すか、ディスクの空きを増やしてから、もう一度"
    "アップデートを実行して下さい";

std::string NotAJournal(const std::string& what)
{
    return "インストール先にある ~UPDATE.JNL は、このアップデータの作業記録ではありません（" + what +
           "）。ゲームのファイルには何もしていません。~UPDATE.JNL を削除するか名前を変えてから、もう一度アップデートを"
           "実行して下さい";
}

std::string SealWithoutJournal(const std::string& folder)
{
    return "前回のアップデートの記録が残っていましたが、作業記録 ~UPDATE.JNL が「" + folder +
           "」に見つかりません。ゲームのファイルには何もせず、記録を削除しました";
}

// Whether this game has a seal now, and its bytes.
bool SealNow(std::string* bytes = nullptr)
{
    unsigned char* sealed = nullptr;
    size_t size = 0;
    SealState state = ReadJobSeal(&sealed, &size);
    if (bytes)
        *bytes = sealed ? std::string((const char*)sealed, size) : "";
    if (sealed)
        GlobalFree(sealed);
    return state == SealFound;
}

const char OtherVersion[] =
    "インストール先にある作業記録 ~UPDATE.JNL は、別のバージョンのアップデータが書いたものです。このアップデータ"
    "では使えないため、ゲームのファイルには何もしていません。それを書いたアップデータをもう一度実行して作業を終えて"
    "から、アップデートを実行して下さい";

std::string OtherPlace(const std::string& folder)
{
    return "前回のアップデートの作業記録 ~UPDATE.JNL は、ゲームが「" + folder +
           "」にあったときのものです。ゲームの場所が変わったため、ゲームのファイルには何もしていません。ゲームを元の"
           "場所に戻してから、もう一度アップデートを実行して下さい";
}

std::string Lost(const std::string& file)
{
    return "ゲームのファイル「" + file +
           "」を元に戻せませんでした。元のファイルが見つかりません（ウイルス対策ソフトなどに削除された可能性があります）"
           "。ほかのファイルは元に戻しました。ゲームをインストールし直して下さい";
}

// An installation with a file of every kind the commit meets, and a disc with a folder to copy:
//   a.dat    replaced                 b.dat     replaced, read-only before
//   new.dat  created                  kept.dat  kept (newer), loses its read-only mark in place
//   save.dat created in the data folder
//   tree\x.txt, tree\深い\y.txt       copied from the disc into two folders the job creates
class JobCommitTest : public ::testing::Test {
protected:
    CaptionRestored caption;  // SetUp sets the composed one
    ScratchFolder folder;
    std::string inst, data;
    MessageBoxCapture boxes;
    CdDrives* drives = nullptr;
    UpdateSection section{};
    JobPlan plan{};
    JobJournal journal{};

    void SetUp() override
    {
        std::string why;
        if (!CdDrives::Available(&why))
            GTEST_SKIP() << why;
        drives = new CdDrives;
        ASSERT_TRUE(RemoveJobSeal());
        inst = folder / "inst";
        data = folder / "data";
        UseJobValues(inst, data);
        lstrcpyA(SetupSettings.DiskCheckFile[1], "DISK1.CHK");
        journal.file = INVALID_HANDLE_VALUE;

        UseUpdateIni("[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=new.dat\r\n"
                     "UpdateFile03=u,kept.dat\r\nUpdateFile04=d,save.dat\r\nCopyFile00=1:tree\r\n");
        ASSERT_TRUE(WriteBytes("D:\\DISK1.CHK", ""));
        // On code page 1252 the Japanese folder a run on 932 left cannot be removed through the ANSI calls.
        ASSERT_TRUE(CreateDirectoryA("D:\\tree", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(WriteBytes("D:\\tree\\x.txt", "disc x"));
        // The ANSI calls reach a Japanese name on code page 932 only (the tests run again on 1252 make none).
        if (GetACP() == 932) {
            ASSERT_TRUE(CreateDirectoryA("D:\\tree\\深い", nullptr));
            ASSERT_TRUE(WriteBytes("D:\\tree\\深い\\y.txt", "disc y"));
            ASSERT_TRUE(SetFileAttributesA("D:\\tree\\深い\\y.txt", FILE_ATTRIBUTE_READONLY));
        }
    }

    void TearDown() override
    {
        FreeJobPlan(&plan);
        CloseJobJournal(&journal, 0);
        FreeJobJournal(&journal);
        DropArchive();
        delete drives;
        RemoveJobSeal();
    }

    // A fresh installation (no job's seal), its folders stamped in the past so that any write into them shows.
    void Install(const std::vector<FixtureEntry>& entries)
    {
        ASSERT_TRUE(RemoveJobSeal());
        RemoveTree(inst);
        RemoveTree(data);
        ASSERT_TRUE(CreateDirectoryA(inst.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(data.c_str(), nullptr));
        struct {
            const char* name;
            unsigned long long time;
            bool readOnly;
        } files[] = {{"a.dat", EntryTime - Second, false},
                     {"b.dat", EntryTime - 2 * Second, true},
                     {"kept.dat", EntryTime + Second, true},
                     {"other.dat", EntryTime - 3 * Second, false}};
        for (const auto& file : files) {
            std::string path = inst + "\\" + file.name;
            ASSERT_TRUE(WriteBytes(path, std::string("old-") + file.name));
            ASSERT_TRUE(SetLastWriteTime(path, file.time));
            if (file.readOnly) {
                ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
            }
        }
        for (const std::string& path : {inst, data}) {
            ASSERT_TRUE(SetLastWriteTime(path, EntryTime - 10 * Second));
        }
        UseArchiveEntries(entries);
    }

    static std::vector<FixtureEntry> GoodEntries()
    {
        std::vector<FixtureEntry> entries;
        for (const char* name : {"a.dat", "b.dat", "new.dat", "kept.dat", "save.dat"})
            entries.push_back(FixtureEntry{name, std::string("new-") + name + std::string(5000, 'z')});
        return entries;
    }

    TreeSnapshot Snapshot() const
    {
        return SnapshotInstallation(inst, data);
    }

    // Parse, plan, stage: what the job's thread does before the commit. A plan short of the fixture's six files
    // and one attribute change (or of `steps`, unless it is -1) is a failure here, before any step is taken on it.
    StageResult PlanAndStage(int steps = 7)
    {
        FreeJobPlan(&plan);
        ParseUpdateSection(InstallRecord.InstMode, &section);
        plan.section = &section;
        plan.game = &InstallRecord;
        if (!PlanUpdateItems(&plan) || !PlanCopyItems(&plan) || (steps >= 0 && CommitStepCount(&plan) != steps)) {
            ADD_FAILURE() << "the fixture's plan has " << CommitStepCount(&plan) << " steps";
            return StageFailed;
        }
        return StagePlan(&plan, &journal);
    }

    // Staged, and every commit step taken; CommitDone not recorded yet.
    void TakeEveryCommitStep()
    {
        ASSERT_EQ(PlanAndStage(), StageDone);
        ASSERT_TRUE(BeginCommit(&plan, &journal));
        for (int i = 0; i < CommitStepCount(&plan); ++i)
            ASSERT_TRUE(TakeCommitStep(&plan, i)) << i;
    }

    // The process is killed: nothing more runs, the open journal is simply closed by the system.
    void Die()
    {
        CloseJobJournal(&journal, 0);
        FreeJobJournal(&journal);
        FreeJobPlan(&plan);
    }

    // The next start, up to the recovery: what it returned and the one box it showed.
    int NextStart(std::string* box)
    {
        boxes.boxes.clear();
        int result = FinishInterruptedJob(InstallRecord);
        *box = boxes.boxes.empty() ? "" : boxes.boxes[0].text;
        EXPECT_LE(boxes.boxes.size(), 1u);
        for (const CapturedBox& shown : boxes.boxes) {
            EXPECT_EQ(shown.caption, "表示ゲーム アップデート");
            EXPECT_EQ(shown.style, (UINT)((result ? MB_ICONINFORMATION : MB_ICONERROR) | MB_OK));
        }
        return result;
    }

    std::string JournalPath() const
    {
        return inst + "\\~UPDATE.JNL";
    }

    // The installation a clean run leaves, for comparing with a recovered one.
    TreeSnapshot CleanRun()
    {
        Install(GoodEntries());
        EXPECT_EQ(PlanAndStage(), StageDone);
        EXPECT_TRUE(BeginCommit(&plan, &journal));
        for (int i = 0; i < CommitStepCount(&plan); ++i)
            EXPECT_TRUE(TakeCommitStep(&plan, i)) << i;
        EXPECT_EQ(EndCommit(&journal), CommitEnded);
        // The space weighed for the journal before the job is never less than the journal then took.
        EXPECT_LE(journal.size, JournalBytesForPlan(&plan));
        char lost[MAX_PATH] = "";
        EXPECT_EQ(SettleJournal(journal.bytes, journal.size, journal.file, lost), SettledCleanedUp);
        CloseJobJournal(&journal, 1);
        FreeJobJournal(&journal);
        FreeJobPlan(&plan);
        return Snapshot();
    }
};

TEST_F(JobCommitTest, KilledAfterEachCommitStepTheNextStartFinishesTheJob)
{
    TreeSnapshot committed = CleanRun();
    EXPECT_EQ(ReadBytes(inst + "\\tree\\深い\\y.txt"), "disc y");
    EXPECT_EQ(GetFileAttributesA((inst + "\\kept.dat").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    Install(GoodEntries());
    ASSERT_EQ(PlanAndStage(), StageDone);
    const int steps = CommitStepCount(&plan);
    ASSERT_EQ(steps, 7) << "six files and one attribute change";
    Die();

    // Killed after `taken` steps; with `done`, also after the record that all of them were taken.
    for (int taken = 0; taken <= steps; ++taken) {
        for (bool done : {false, true}) {
            if (done && taken < steps)
                continue;
            SCOPED_TRACE(std::to_string(taken) + (done ? " steps, commit recorded as done" : " steps"));
            Install(GoodEntries());
            Sleep(20);
            TreeSnapshot before = Snapshot();
            ASSERT_EQ(PlanAndStage(), StageDone);
            ASSERT_TRUE(BeginCommit(&plan, &journal));
            for (int i = 0; i < taken; ++i)
                ASSERT_TRUE(TakeCommitStep(&plan, i)) << i;
            if (done) {
                ASSERT_EQ(EndCommit(&journal), CommitEnded);
            }
            Die();

            std::string box;
            EXPECT_EQ(NextStart(&box), 1);
            EXPECT_EQ(box, done ? CleanedUp : RolledBack);
            EXPECT_FALSE(PathExists(JournalPath()));
            EXPECT_EQ(done ? TreeDifferences(committed, Snapshot(), false) : TreeDifferences(before, Snapshot()), "");
            // A second start finds nothing left to do.
            EXPECT_EQ(NextStart(&box), 1);
            EXPECT_EQ(box, "");
        }
    }
}

// Staging stops at item `position` (its entry is damaged and only decoding shows it), after the items before it
// were staged; the process is killed at the failure's box. Nothing is in place yet, so everything goes.
TEST_F(JobCommitTest, KilledWhileStagingTheNextStartRollsBack)
{
    for (int position = 0; position < 5; ++position) {
        SCOPED_TRACE(position);
        std::vector<FixtureEntry> entries = GoodEntries();
        entries[position].damaged = true;
        Install(entries);
        Sleep(20);
        TreeSnapshot before = Snapshot();
        boxes.boxes.clear();
        // kept.dat is kept by its time, so its entry is never decoded; the job then fails at no item.
        StageResult expected = position == 3 ? StageDone : StageFailed;
        ASSERT_EQ(PlanAndStage(), expected);
        if (expected == StageFailed) {
            ASSERT_EQ(boxes.boxes.size(), 2u);
            EXPECT_EQ(boxes.boxes[0].text, "Can't Find File in Resource !!");
            EXPECT_EQ(boxes.boxes[1].text, "ファイルの書き込みに失敗しました");
        }
        EXPECT_TRUE(PathExists(inst + "\\tree")) << "the folders come before the files";
        Die();

        std::string box;
        EXPECT_EQ(NextStart(&box), 1);
        EXPECT_EQ(box, RolledBack);
        EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    }
}

// A file the rollback needs is held open by another program: the next start says so and stops, keeping the
// journal; once the file is free, the start after that finishes the job.
TEST_F(JobCommitTest, RecoveryThatCannotFinishKeepsTheJournalForTheNextStart)
{
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    Die();

    HANDLE held = CreateFileA((inst + "\\a.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string box;
    EXPECT_EQ(NextStart(&box), 0);
    EXPECT_EQ(box, Stuck);
    EXPECT_TRUE(PathExists(JournalPath()));
    CloseHandle(held);

    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
    EXPECT_FALSE(PathExists(JournalPath()));
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
}

// A scanner or a backup tool reading the journal of a job that died is not a running copy (the guard between copies
// tells those): the start says what holds it and does nothing, and once it is let go the start settles the job.
TEST_F(JobCommitTest, AJournalAnotherProgramReadsIsNotTakenForARunningJob)
{
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_EQ(PlanAndStage(), StageDone);
    ASSERT_TRUE(BeginCommit(&plan, &journal));
    ASSERT_TRUE(TakeCommitStep(&plan, 0));
    Die();
    TreeSnapshot midway = Snapshot();

    HANDLE reader = CreateFileA(JournalPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::string box;
    EXPECT_EQ(NextStart(&box), 0);
    EXPECT_EQ(box, InUse);
    EXPECT_EQ(TreeDifferences(midway, Snapshot()), "");
    CloseHandle(reader);

    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    EXPECT_FALSE(SealNow());
}

// What the start finds at the journal's name that holds no step: a journal a kill tore before its first record
// (sealed, so it goes without a word, its seal with it), or something that is no journal at all, which stays and
// is named for what it is.
TEST_F(JobCommitTest, TornOrForeignJournalFiles)
{
    Install(GoodEntries());
    std::string seal = JournalBytes({JobRecord(inst, data)});
    struct {
        const char* label;
        std::string bytes;
        bool sealed;
        bool folder;
        const char* box;  // what the start says it is, when it is no journal of a sealed job
    } cases[] = {
        {"empty: killed before its header", "", true, false, nullptr},
        {"torn header", std::string("FA2JRNL\0\2", 9), true, false, nullptr},
        {"a header and no record", std::string("FA2JRNL\0\2\0\0\0", 12), true, false, nullptr},
        {"someone else's file of that name", "not a journal", false, false, "作業記録の形式ではないファイルです"},
        {"someone else's file where a sealed job's was", "not a journal", true, false, nullptr},
        {"a folder of that name", "", false, true, "同じ名前のフォルダーです"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.folder) {
            ASSERT_TRUE(CreateDirectoryA(JournalPath().c_str(), nullptr));
        } else {
            ASSERT_TRUE(WriteBytes(JournalPath(), c.bytes));
        }
        if (c.sealed) {
            ASSERT_TRUE(WriteJobSeal((const unsigned char*)seal.data(), seal.size(), 1));
        }
        TreeSnapshot before = Snapshot();
        bool foreign = c.bytes == "not a journal" || c.folder;
        std::string box;
        EXPECT_EQ(NextStart(&box), foreign ? 0 : 1);
        EXPECT_EQ(box, c.box ? NotAJournal(c.box) : foreign ? DiffersFromSeal : "");
        EXPECT_EQ(PathExists(JournalPath()), foreign);
        EXPECT_EQ(SealNow(), foreign && c.sealed) << "a seal goes with its journal, and only then";
        RemoveDirectoryA(JournalPath().c_str());
        DeleteFileA(JournalPath().c_str());
        ASSERT_TRUE(RemoveJobSeal());
        before.erase(std::remove_if(before.begin(), before.end(),
                                    [](const TreeEntry& e) { return e.path == "." || e.path == "~UPDATE.JNL"; }),
                     before.end());
        TreeSnapshot after = Snapshot();
        after.erase(std::remove_if(after.begin(), after.end(), [](const TreeEntry& e) { return e.path == "."; }),
                    after.end());
        EXPECT_EQ(TreeDifferences(before, after), "");
    }
}

// Journals planted by someone else in a folder ordinary users can write: the elevated start-up must touch nothing
// they point at, leave them where they are, and say so once. Each would have deleted or replaced the victim. Each
// is planted twice: with no seal at all, and over the journal of a job that died, whose seal names other steps.
TEST_F(JobCommitTest, PlantedJournalsAreNeverActedOn)
{
    std::string outside = folder / "outside";
    // The job tag of the planted Job records is 35: "00000Z".
    std::string victim = outside + "\\victim.dll", lib = outside + "\\lib.dll", mine = inst + "\\~00000Z00009";
    struct {
        const char* label;
        std::vector<JournalRecord> records;
        bool hardLinked;
    } cases[] = {
        {"a staged file outside the folders", {JobRecord(inst, data), Record(JournalStaged, victim)}, false},
        {"a staged file reached by climbing out",
         {JobRecord(inst, data), Record(JournalStaged, inst + "\\..\\outside\\victim.dll")}, false},
        {"a target outside, a backup of the planter's",
         {JobRecord(inst, data), Record(JournalCommitBegins),
          Record(JournalReplace, lib, inst + "\\~00000Z00001", mine)},
         false},
        {"a target inside, a backup named as no job names it",
         {JobRecord(inst, data), Record(JournalCommitBegins),
          Record(JournalReplace, inst + "\\a.dat", inst + "\\~00000Z00001", inst + "\\other.dat")},
         false},
        {"attributes outside", {JobRecord(inst, data), Record(JournalAttributes, victim)}, false},
        {"no Job record first", {Record(JournalStaged, inst + "\\~00000Z00001"), JobRecord(inst, data)}, false},
        {"a second Job record", {JobRecord(inst, data), JobRecord(outside, data)}, false},
        {"a journal with a second name", {JobRecord(inst, data), Record(JournalStaged, mine)}, true},
    };
    for (bool overADeadJob : {false, true}) {
        for (auto& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (overADeadJob ? ", over a sealed job's journal" : ", no seal"));
            Install(GoodEntries());
            if (overADeadJob) {
                ASSERT_EQ(PlanAndStage(), StageDone);
                Die();
                ASSERT_TRUE(SealNow());
            }
            RemoveTree(outside);
            ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(victim, "system file"));
            ASSERT_TRUE(WriteBytes(lib, "library"));
            ASSERT_TRUE(WriteBytes(mine, "planted"));
            if (c.records.size() > 2 && c.records[2].type == JournalReplace)
                c.records[2].hadOriginal = 1;
            std::string planted = JournalBytes(c.records);
            ASSERT_TRUE(WriteBytes(JournalPath(), planted));
            if (c.hardLinked) {
                ASSERT_TRUE(CreateHardLinkA((outside + "\\link.jnl").c_str(), JournalPath().c_str(), nullptr));
            }
            TreeSnapshot before = Snapshot();
            TreeSnapshot outsideBefore = SnapshotTree(outside);

            std::string box;
            EXPECT_EQ(NextStart(&box), 0);
            EXPECT_EQ(box, overADeadJob ? DiffersFromSeal : WithoutSeal);
            EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
            EXPECT_EQ(TreeDifferences(outsideBefore, SnapshotTree(outside)), "");
            EXPECT_EQ(ReadBytes(JournalPath()), planted);
            EXPECT_EQ(SealNow(), overADeadJob);
            DeleteFileA(JournalPath().c_str());
            ASSERT_TRUE(RemoveJobSeal());
        }
    }
    RemoveTree(outside);
}

// A dead job's own journal with one step added: a step the job never sealed is never taken, and the journal's own
// steps are not taken either (the file is no longer what the job wrote).
TEST_F(JobCommitTest, AStepAddedToASealedJournalIsRefused)
{
    std::string outside = folder / "outside";
    RemoveTree(outside);
    ASSERT_TRUE(CreateDirectoryA(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(outside + "\\victim.dll", "system file"));
    Install(GoodEntries());
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    std::string written(journal.bytes, journal.bytes + journal.size);
    Die();
    // Written as the job writes them: a whole record after the last one.
    std::string added =
        written + JournalBytes({Record(JournalStaged, outside + "\\victim.dll")}).substr(JournalHeaderSize);
    ASSERT_TRUE(WriteBytes(JournalPath(), added));
    TreeSnapshot before = Snapshot(), outsideBefore = SnapshotTree(outside);
    std::string box;
    EXPECT_EQ(NextStart(&box), 0);
    EXPECT_EQ(box, DiffersFromSeal);
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    EXPECT_EQ(TreeDifferences(outsideBefore, SnapshotTree(outside)), "");
    RemoveTree(outside);
}

// The start acts on the folders the seal names, never on what the player's registry says today: the player's own
// account (any program it runs) may have pointed InstPath and DataPath at a system folder and planted a journal
// there. The dead job is settled where it ran, and the planted journal is not touched.
TEST_F(JobCommitTest, TodaysRegistryValuesNeverChooseWhatIsSettled)
{
    std::string system = folder / "system";
    RemoveTree(system);
    ASSERT_TRUE(CreateDirectoryA(system.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(system + "\\victim.dll", "system file"));
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    Die();
    std::string planted = JournalBytes({JobRecord(system, system), Record(JournalStaged, system + "\\victim.dll")});
    ASSERT_TRUE(WriteBytes(system + "\\~UPDATE.JNL", planted));
    TreeSnapshot systemBefore = SnapshotTree(system);
    lstrcpyA(InstallRecord.InstPath, system.c_str());
    lstrcpyA(InstallRecord.DataPath, system.c_str());

    std::string box;
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
    lstrcpyA(InstallRecord.InstPath, inst.c_str());
    lstrcpyA(InstallRecord.DataPath, data.c_str());
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    EXPECT_EQ(TreeDifferences(systemBefore, SnapshotTree(system)), "");
    EXPECT_FALSE(SealNow());
    RemoveTree(system);
}

// A seal whose journal is gone (a kill after the journal was removed and before its seal was): the start says so,
// touches no file and drops the seal, and the next start has nothing to say.
TEST_F(JobCommitTest, ASealWithoutItsJournalIsReportedAndDropped)
{
    Install(GoodEntries());
    ASSERT_EQ(PlanAndStage(), StageDone);
    Die();
    ASSERT_TRUE(DeleteFileA(JournalPath().c_str()));
    TreeSnapshot before = Snapshot();
    std::string box;
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, SealWithoutJournal(inst));
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    EXPECT_FALSE(SealNow());
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, "");
}

// Killed after the last commit step, then the game was moved (or its drive got another letter): the journal names
// the old place. Nothing is settled at either place; the player is told where the game was.
TEST_F(JobCommitTest, JournalOfAMovedGameIsReportedNotSettled)
{
    Install(GoodEntries());
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    Die();

    std::string moved = folder / "moved";
    ASSERT_TRUE(MoveFileA(inst.c_str(), moved.c_str()));
    ASSERT_TRUE(CreateDirectoryA(inst.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(inst + "\\a.dat", "a fresh file at the old place"));
    lstrcpyA(InstallRecord.InstPath, moved.c_str());
    TreeSnapshot movedBefore = SnapshotInstallation(moved, data);
    TreeSnapshot oldBefore = SnapshotTree(inst);

    std::string box;
    EXPECT_EQ(NextStart(&box), 0);
    EXPECT_EQ(box, OtherPlace(inst));
    EXPECT_EQ(TreeDifferences(movedBefore, SnapshotInstallation(moved, data)), "");
    EXPECT_EQ(TreeDifferences(oldBefore, SnapshotTree(inst)), "");
    EXPECT_TRUE(PathExists(moved + "\\~UPDATE.JNL"));

    // Back at its place, the start finishes the job.
    lstrcpyA(InstallRecord.InstPath, inst.c_str());
    RemoveTree(inst);
    ASSERT_TRUE(MoveFileA(moved.c_str(), inst.c_str()));
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
}

// A backup that a scanner removed after the new file went in: that file cannot come back. The box names it, every
// other file is put back, and the journal stays.
TEST_F(JobCommitTest, AMissingBackupIsReportedByItsFileNotAsRestored)
{
    Install(GoodEntries());
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    std::string backup;
    for (int i = 0; i < plan.writeCount; ++i)
        if (std::string(plan.writes[i].target) == inst + "\\a.dat")
            backup = plan.writes[i].backup;
    ASSERT_FALSE(backup.empty());
    Die();
    ASSERT_TRUE(DeleteFileA(backup.c_str()));
    std::string fresh = ReadBytes(inst + "\\a.dat");

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        std::string box;
        EXPECT_EQ(NextStart(&box), 0);
        EXPECT_EQ(box, Lost(inst + "\\a.dat"));
        EXPECT_TRUE(PathExists(JournalPath()));
        EXPECT_EQ(ReadBytes(inst + "\\a.dat"), fresh);
        EXPECT_EQ(ReadBytes(inst + "\\b.dat"), "old-b.dat");
        EXPECT_FALSE(PathExists(inst + "\\new.dat"));
    }
}

// Killed between the two moves of one write (its target gone to the backup name, the new file not yet in), and
// then the backup went too: the new file is the only version left. It is named as lost, never "put back", and the
// new file and the journal stay.
TEST_F(JobCommitTest, KilledBetweenTheTwoMovesOfAWriteWhoseBackupThenGoes)
{
    Install(GoodEntries());
    ASSERT_EQ(PlanAndStage(), StageDone);
    ASSERT_TRUE(BeginCommit(&plan, &journal));
    const PlannedWrite* a = nullptr;
    for (int i = 0; i < plan.writeCount; ++i)
        if (std::string(plan.writes[i].target) == inst + "\\a.dat")
            a = &plan.writes[i];
    ASSERT_NE(a, nullptr);
    std::string staged = a->staged;
    // The first move of the write, as the commit makes it; the process dies before the second.
    ASSERT_TRUE(MoveFileA(a->target, a->backup));
    ASSERT_TRUE(DeleteFileA(a->backup));
    Die();
    std::string fresh = ReadBytes(staged);

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        std::string box;
        EXPECT_EQ(NextStart(&box), 0);
        EXPECT_EQ(box, Lost(inst + "\\a.dat"));
        EXPECT_EQ(ReadBytes(staged), fresh) << "the only version left was deleted as a leftover";
        EXPECT_TRUE(PathExists(JournalPath()));
        EXPECT_TRUE(SealNow());
        EXPECT_EQ(ReadBytes(inst + "\\b.dat"), "old-b.dat");
    }
}

// The rollback puts every file back but cannot record that it did (the journal is read-only): the box says exactly
// that, not that a program is using the files; once the journal can be written, the next start finishes.
TEST_F(JobCommitTest, ARollbackThatCannotRecordItsEndSaysSo)
{
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    Die();
    ASSERT_TRUE(SetFileAttributesA(JournalPath().c_str(), FILE_ATTRIBUTE_READONLY));
    std::string box;
    EXPECT_EQ(NextStart(&box), 0);
    EXPECT_EQ(box, Unrecorded);
    EXPECT_EQ(ReadBytes(inst + "\\a.dat"), "old-a.dat");
    EXPECT_FALSE(PathExists(inst + "\\new.dat"));
    EXPECT_TRUE(SealNow());

    ASSERT_TRUE(SetFileAttributesA(JournalPath().c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    EXPECT_FALSE(SealNow());
}

// Journals the job itself writes in three places a check of paths by their text once refused: a folder copy that
// clears the installation folder's own read-only and hidden marks; a data folder outside the installation folder
// that the job creates; targets the system's code page reaches only by their short names (run again on code page
// 1252, where the Japanese names below have no ANSI form). Killed at every commit step, the next start puts the
// installation back each time.
TEST_F(JobCommitTest, EveryJournalTheJobWritesIsSettled)
{
    const std::string japanese = "日本語の名前.dat";
    struct {
        const char* label;
        const char* ini;
        bool markedFolder, noDataFolder, japaneseTarget;
    } cases[] = {
        {"a folder copy clears the installation folder's marks",
         "[UPDATE]\r\nUpdateFile00=a.dat\r\nCopyFile00=1:movie\r\n", true, false, false},
        {"a data folder outside the installation folder, created by the job",
         "[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=d,save.dat\r\n", false, true, false},
        {"a target reached by its short name", "[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=日本語の名前.dat\r\n",
         false, false, true},
    };
    ASSERT_TRUE(CreateDirectoryA("D:\\movie", nullptr));
    ASSERT_TRUE(WriteBytes("D:\\movie\\m.txt", "disc m"));
    for (const auto& c : cases) {
        UseUpdateIni(c.ini);
        std::vector<FixtureEntry> entries = GoodEntries();
        entries.push_back(FixtureEntry{japanese, "new Japanese-named file"});
        for (int taken = 0;; ++taken) {
            SCOPED_TRACE(std::string(c.label) + ", killed after " + std::to_string(taken) + " steps");
            Install(entries);
            // Made and removed by its real name, which code page 1252 has no ANSI form for.
            wchar_t wide[MAX_PATH];
            ASSERT_TRUE(MultiByteToWideChar(932, 0, (inst + "\\" + japanese).c_str(), -1, wide, MAX_PATH));
            if (c.japaneseTarget) {
                HANDLE file = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
                ASSERT_NE(file, INVALID_HANDLE_VALUE);
                DWORD written = 0;
                ASSERT_TRUE(WriteFile(file, "old", 3, &written, nullptr));
                CloseHandle(file);
            }
            if (c.noDataFolder)
                RemoveTree(data);
            Sleep(20);
            TreeSnapshot before = Snapshot();
            if (c.markedFolder) {
                ASSERT_TRUE(SetFileAttributesA(inst.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
            }
            DWORD instMarks = GetFileAttributesA(inst.c_str());
            ASSERT_EQ(PlanAndStage(-1), StageDone);
            int steps = CommitStepCount(&plan);
            if (c.japaneseTarget && GetACP() != 932) {
                bool shortName = false;
                for (int i = 0; i < plan.writeCount; ++i)
                    shortName |= plan.writes[i].longTarget[0] != 0;
                EXPECT_TRUE(shortName) << "no target was reached by its short name";
            }
            ASSERT_TRUE(BeginCommit(&plan, &journal));
            for (int i = 0; i < taken; ++i)
                ASSERT_TRUE(TakeCommitStep(&plan, i)) << i;
            Die();

            std::string box;
            EXPECT_EQ(NextStart(&box), 1);
            EXPECT_EQ(box, RolledBack);
            EXPECT_EQ(GetFileAttributesA(inst.c_str()), instMarks);
            SetFileAttributesA(inst.c_str(), FILE_ATTRIBUTE_DIRECTORY);
            EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
            EXPECT_FALSE(PathExists(JournalPath()));
            EXPECT_FALSE(SealNow());
            DeleteFileW(wide);
            if (taken >= steps || HasFailure())
                break;
        }
    }
}

// A scanner holds a file for a moment while the next start puts it back: the rollback waits for it as the commit
// does, instead of giving up at once.
// Closes the handle it is given a moment later: a file held briefly, as a scanner holds one.
DWORD WINAPI CloseSoon(LPVOID handle)
{
    Sleep(150);
    CloseHandle((HANDLE)handle);
    return 0;
}

TEST_F(JobCommitTest, RollbackWaitsForABrieflyHeldFile)
{
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    Die();

    for (const char* name : {"a.dat", "new.dat"}) {
        SCOPED_TRACE(name);
        std::string held = inst + "\\" + name;
        if (!PathExists(held))
            continue;  // put back by the first round
        HANDLE file = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        HANDLE release = CreateThread(nullptr, 0, CloseSoon, file, 0, nullptr);
        std::string box;
        EXPECT_EQ(NextStart(&box), 1);
        EXPECT_EQ(box, RolledBack);
        WaitForSingleObject(release, INFINITE);
        CloseHandle(release);
        EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    }
}

// A journal another version of the updater wrote is never acted on, and the box says what it is and what to do,
// instead of every later update failing with a write error.
TEST_F(JobCommitTest, AJournalOfAnotherVersionIsExplainedAndLeftAlone)
{
    Install(GoodEntries());
    for (uint32_t version : {1u, JournalVersion + 1}) {
        SCOPED_TRACE(version);
        std::string old = JournalBytes({JobRecord(inst, data), Record(JournalStaged, inst + "\\a.dat")}, version);
        ASSERT_TRUE(WriteBytes(JournalPath(), old));
        TreeSnapshot before = Snapshot();
        std::string box;
        EXPECT_EQ(NextStart(&box), 0);
        EXPECT_EQ(box, OtherVersion);
        EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
        EXPECT_EQ(ReadBytes(JournalPath()), old);
        DeleteFileA(JournalPath().c_str());
    }
}

// CommitDone reaches the file but its flush fails: the files are the new ones, so the job must not take the
// commit for failed (its rollback would then clean up and tell the player nothing changed). The backups stay for
// the next start, which settles by what reached the disk.
TEST_F(JobCommitTest, CommitDoneWrittenButNotFlushedIsNotAFailure)
{
    Install(GoodEntries());
    Sleep(20);
    TreeSnapshot before = Snapshot();
    ASSERT_NO_FATAL_FAILURE(TakeEveryCommitStep());
    // The NUL device takes every write and refuses every flush.
    HANDLE real = journal.file;
    journal.file = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(journal.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(EndCommit(&journal), CommitEndUnconfirmed);
    CloseHandle(journal.file);
    journal.file = real;
    EXPECT_EQ(ReadBytes(inst + "\\a.dat"), "new-a.dat" + std::string(5000, 'z'));
    Die();
    // Here the record never reached the file: the next start finds every backup and puts everything back.
    std::string box;
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, RolledBack);
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
}

}  // namespace
