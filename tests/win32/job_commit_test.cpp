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

namespace {

const char RolledBack[] = "前回のアップデートは途中で終わっていたため、ゲームのファイルを元に戻しました";
const char CleanedUp[] = "前回のアップデートは完了していました。残っていた一時ファイルを削除しました";
const char Stuck[] =
    "ゲームのファイルを元に戻せませんでした。ファイルを使っているプログラムを終了してから、もう一度アップデートを"
    "実行して下さい";

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
    JobPlan plan{};
    JobJournal journal{};

    void SetUp() override
    {
        std::string why;
        if (!CdDrives::Available(&why))
            GTEST_SKIP() << why;
        drives = new CdDrives;
        inst = folder / "inst";
        data = folder / "data";
        UseJobValues(inst, data);
        lstrcpyA(SetupSettings.DiskCheckFile[1], "DISK1.CHK");
        journal.file = INVALID_HANDLE_VALUE;

        UseUpdateIni("[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=new.dat\r\n"
                     "UpdateFile03=u,kept.dat\r\nUpdateFile04=d,save.dat\r\nCopyFile00=1:tree\r\n");
        ASSERT_TRUE(WriteBytes("D:\\DISK1.CHK", ""));
        ASSERT_TRUE(CreateDirectoryA("D:\\tree", nullptr));
        ASSERT_TRUE(CreateDirectoryA("D:\\tree\\深い", nullptr));
        ASSERT_TRUE(WriteBytes("D:\\tree\\x.txt", "disc x"));
        ASSERT_TRUE(WriteBytes("D:\\tree\\深い\\y.txt", "disc y"));
        ASSERT_TRUE(SetFileAttributesA("D:\\tree\\深い\\y.txt", FILE_ATTRIBUTE_READONLY));
    }

    void TearDown() override
    {
        FreeJobPlan(&plan);
        CloseJobJournal(&journal, 0);
        FreeJobJournal(&journal);
        DropArchive();
        delete drives;
    }

    // A fresh installation, its folders stamped in the past so that any write into them shows.
    void Install(const std::vector<FixtureEntry>& entries)
    {
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
    // and one attribute change is a failure here, before any step is taken on it.
    StageResult PlanAndStage()
    {
        FreeJobPlan(&plan);
        ParseUpdateSection();
        if (!PlanUpdateItems(&plan, 0) || !PlanCopyItems(&plan) || CommitStepCount(&plan) != 7) {
            ADD_FAILURE() << "the fixture's plan has " << CommitStepCount(&plan) << " steps";
            return StageFailed;
        }
        return StagePlan(&plan, &journal);
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
        int result = FinishInterruptedJob();
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
        EXPECT_TRUE(EndCommit(&journal));
        EXPECT_EQ(SettleJournal(journal.bytes, journal.size), SettledCleanedUp);
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
                ASSERT_TRUE(EndCommit(&journal));
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
    ASSERT_EQ(PlanAndStage(), StageDone);
    ASSERT_TRUE(BeginCommit(&plan, &journal));
    for (int i = 0; i < CommitStepCount(&plan); ++i)
        ASSERT_TRUE(TakeCommitStep(&plan, i));
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

// While a job runs, its journal is open without sharing: another start must not take it for a dead job's.
TEST_F(JobCommitTest, JournalOfARunningJobIsLeftAlone)
{
    Install(GoodEntries());
    ASSERT_EQ(PlanAndStage(), StageDone);
    ASSERT_TRUE(BeginCommit(&plan, &journal));
    ASSERT_TRUE(TakeCommitStep(&plan, 0));
    TreeSnapshot midway = Snapshot();
    std::string box;
    EXPECT_EQ(NextStart(&box), 1);
    EXPECT_EQ(box, "");
    EXPECT_EQ(TreeDifferences(midway, Snapshot()), "");
    EXPECT_TRUE(PathExists(JournalPath()));
}

TEST_F(JobCommitTest, TornOrForeignJournalFiles)
{
    Install(GoodEntries());
    struct {
        const char* label;
        std::string bytes;
        bool stays;
    } cases[] = {
        {"empty: killed before its header", "", false},
        {"torn header", std::string("FA2JRNL\0\1", 9), false},
        {"a header and no record", std::string("FA2JRNL\0\1\0\0\0", 12), false},
        {"someone else's file of that name", "not a journal", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(WriteBytes(JournalPath(), c.bytes));
        TreeSnapshot before = Snapshot();
        std::string box;
        EXPECT_EQ(NextStart(&box), 1);
        EXPECT_EQ(box, "");
        EXPECT_EQ(PathExists(JournalPath()), c.stays);
        DeleteFileA(JournalPath().c_str());
        before.erase(std::remove_if(before.begin(), before.end(),
                                    [](const TreeEntry& e) { return e.path == "." || e.path == "~UPDATE.JNL"; }),
                     before.end());
        TreeSnapshot after = Snapshot();
        after.erase(std::remove_if(after.begin(), after.end(), [](const TreeEntry& e) { return e.path == "."; }),
                    after.end());
        EXPECT_EQ(TreeDifferences(before, after), "");
    }
}

}  // namespace
