// The whole job driven through its sink, without the dialog: the sink records what the page would have shown (the
// bar's total and bytes, the file names, Cancel going off at the commit) and answers Cancel wherever the job asks.
// A run takes milliseconds here, so a Cancel is tried at every point the job asks, which a whole run through the
// dialog can only hit by chance.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "job/job_delta.h"
#include "job/job_stage.h"
#include "job/update_job.h"
#include "job_fixture.h"
#include "support/messages.h"
#include "support/text_format.h"

namespace {

// What the page would have shown, and the player's Cancel: confirmed at the `stopAt`-th time the job asks (0:
// never), or just before the commit when `refuseCommit`.
struct RecordingSink {
    int stopAt = 0;
    bool refuseCommit = false;

    uint64_t total = 0, done = 0;
    int totals = 0;
    int polls = 0;
    bool cancelOff = false;      // the commit was entered: Cancel is off for good
    bool doneAtCommit = false;   // the bar was full when Cancel went off
    bool movedAfterCommit = false;
    bool overran = false;        // bytes beyond the total
    std::vector<std::string> files, errors, questions;
    std::function<void(const std::string& file)> onFile;  // as each file's name is shown
    std::function<void()> onBytes;                        // as the bar moves

    JobSink Sink()
    {
        return JobSink{this,
                       [](void* c, const char* text) {
                           Of(c)->errors.push_back(text);
                           return IDOK;
                       },
                       [](void* c, const char* text) {
                           Of(c)->questions.push_back(text);
                           return IDCANCEL;
                       },
                       [](void*, const char*, const char*) {},
                       [](void* c, uint64_t total) {
                           RecordingSink* sink = Of(c);
                           sink->total = total;
                           sink->done = 0;
                           ++sink->totals;
                       },
                       [](void* c, const char* name) {
                           RecordingSink* sink = Of(c);
                           sink->files.push_back(name);
                           sink->movedAfterCommit |= sink->cancelOff;
                           if (sink->onFile)
                               sink->onFile(name);
                       },
                       [](void* c, uint64_t count) {
                           RecordingSink* sink = Of(c);
                           if (sink->onBytes)
                               sink->onBytes();
                           sink->done += count;
                           sink->overran |= sink->done > sink->total;
                           sink->movedAfterCommit |= sink->cancelOff;
                       },
                       [](void* c) {
                           RecordingSink* sink = Of(c);
                           sink->movedAfterCommit |= sink->cancelOff;  // nothing asks once Cancel is off
                           return ++sink->polls == sink->stopAt ? 1 : 0;
                       },
                       [](void* c) {
                           RecordingSink* sink = Of(c);
                           if (sink->refuseCommit)
                               return 0;
                           sink->cancelOff = true;
                           sink->doneAtCommit = sink->totals == 1 && sink->done == sink->total;
                           return 1;
                       }};
    }

    static RecordingSink* Of(void* context)
    {
        return (RecordingSink*)context;
    }
};

class JobSinkTest : public ::testing::Test {
protected:
    CaptionRestored caption;
    ScratchFolder folder;
    std::string inst, data;
    MessageBoxCapture boxes;  // every box goes to the sink: none may show
    UpdateSection section{};

    void SetUp() override
    {
        inst = folder / "inst";
        data = folder / "data";
        UseJobValues(inst, data);
        ASSERT_TRUE(CreateDirectoryA(inst.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(data.c_str(), nullptr));
        // Large enough that each entry reaches the sink in several pieces; one replaces a file, one is a Data
        // file written back with its own bytes.
        std::vector<FixtureEntry> entries;
        for (char c : {'a', 'b', 'c'})
            entries.push_back(FixtureEntry{std::string(1, c) + ".dat", std::string(600000, c)});
        UseArchiveEntries(entries);
        ASSERT_TRUE(WriteBytes(inst + "\\a.dat", "old-a.dat"));
        ASSERT_TRUE(WriteBytes(data + "\\save.dat", std::string(300000, 's')));
        ASSERT_TRUE(SetLastWriteTime(inst, EntryTime - 5 * Second));
        UseUpdateIni("[SETUP]\r\nGameDir=x\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\n"
                     "UpdateFile02=c.dat\r\nUpdateFile03=d,save.dat\r\n");
    }

    void TearDown() override
    {
        DropArchive();
    }

    JobOutcome Run(RecordingSink* recorder)
    {
        JobSink sink = recorder->Sink();
        DriveShortage shortage{};
        ParseUpdateSection(InstallRecord.InstMode, &section);
        return RunUpdateJob(section, InstallRecord, &sink, &shortage);
    }
};

TEST_F(JobSinkTest, AFinishedJobFillsTheBarBeforeCancelGoesOff)
{
    RecordingSink sink;
    ASSERT_EQ(Run(&sink), JobFinished);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(sink.errors.empty());
    EXPECT_EQ(sink.totals, 1);
    EXPECT_EQ(sink.total, 3 * 600000u + 300000u);
    EXPECT_FALSE(sink.overran);
    EXPECT_TRUE(sink.cancelOff);
    EXPECT_TRUE(sink.doneAtCommit) << sink.done << " of " << sink.total;
    EXPECT_FALSE(sink.movedAfterCommit);
    EXPECT_EQ(sink.files, (std::vector<std::string>{"a.dat", "b.dat", "c.dat", "save.dat"}));
    EXPECT_GT(sink.polls, 8) << "a Cancel is looked for in every piece of every file";
    EXPECT_EQ(ReadBytes(inst + "\\a.dat"), std::string(600000, 'a'));
    EXPECT_EQ(ReadBytes(data + "\\save.dat"), std::string(300000, 's'));
    EXPECT_FALSE(PathExists(inst + "\\~UPDATE.JNL"));
}

// Wherever the job asks, a confirmed Cancel puts everything back, shows nothing and never reaches the commit; so
// does a Cancel confirmed just as the commit would begin.
TEST_F(JobSinkTest, ACancelAtAnyPointLeavesTheGameAsItWas)
{
    RecordingSink full;
    ASSERT_EQ(Run(&full), JobFinished);
    const int polls = full.polls;
    RemoveTree(inst);
    RemoveTree(data);
    SetUp();
    if (HasFatalFailure())
        return;
    TreeSnapshot before = SnapshotInstallation(inst, data);

    for (int stopAt = 1; stopAt <= polls + 1; ++stopAt) {
        bool atCommit = stopAt == polls + 1;
        SCOPED_TRACE(atCommit ? std::string("at the commit") : "at ask " + std::to_string(stopAt));
        RecordingSink sink;
        sink.stopAt = atCommit ? 0 : stopAt;
        sink.refuseCommit = atCommit;
        EXPECT_EQ(Run(&sink), JobRolledBack);
        EXPECT_FALSE(sink.cancelOff);
        EXPECT_TRUE(sink.errors.empty());
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(sink.polls, atCommit ? polls : stopAt) << "the job asked again after the Cancel";
        EXPECT_EQ(TreeDifferences(before, SnapshotInstallation(inst, data)), "");
    }
}

// A failure reaches the sink as the boxes the page shows, in their order, and leaves the game as it was.
TEST_F(JobSinkTest, FailuresReachTheSinkAsTheirBoxes)
{
    struct {
        const char* section;
        JobOutcome outcome;
        std::vector<std::string> errors;
    } cases[] = {
        {"UpdateFile00=a.dat\r\nUpdateFile01=nothere.dat\r\n", JobRolledBack,
         {NotFoundText, WriteFailureText}},
        {"UpdateFile00=a.dat\r\nUpdateFile01=sub\\b.dat\r\n", JobRolledBack, {WriteFailureText}},
        {"RequiredDiskSpace=1\r\n", JobBroken, {"No 'UpdateFileXX' and 'CopyFileXX'"}},
        {"UpdateFile00=2,a.dat\r\n", JobNothingToDo, {"アップデートする必要のあるファイルはありません"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        UseUpdateIni(std::string("[SETUP]\r\nGameDir=x\r\n[UPDATE]\r\n") + c.section);
        TreeSnapshot before = SnapshotInstallation(inst, data);
        RecordingSink sink;
        EXPECT_EQ(Run(&sink), c.outcome);
        EXPECT_EQ(sink.errors, c.errors);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_FALSE(sink.cancelOff);
        EXPECT_EQ(TreeDifferences(before, SnapshotInstallation(inst, data)), "");
    }
}

}  // namespace

// A delta's installed file is checked while the job plans and read again while it stages. Between the two another
// program may change it: the job then says so (not that the download is damaged) and leaves that program's file;
// while the delta is read, nobody may write, rename or delete it.
class DeltaBaseTest : public JobSinkTest {
protected:
    std::string before, after, other;

    void SetUp() override
    {
        JobSinkTest::SetUp();
        for (int i = 0; i < 300000; i++)
            before += (char)(i * 7 + i / 251);
        after = before;
        after.replace(100000, 5, "EDIT!");
        other = before;
        other[200000] ^= 1;  // the same size: only the bytes tell
        ASSERT_TRUE(WriteBytes(folder / "old.dat", before));
        ASSERT_TRUE(WriteBytes(folder / "new.dat", after));
        UseDeltaArchive("a.dat", folder / "old.dat", folder / "new.dat");
        ASSERT_TRUE(WriteBytes(inst + "\\a.dat", before));
        UseUpdateIni("[SETUP]\r\nGameDir=x\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n");
    }
};

TEST_F(DeltaBaseTest, AFileChangedAfterItsCheckIsReportedAsChanged)
{
    std::string target = inst + "\\a.dat";
    RecordingSink untouched;
    ASSERT_EQ(Run(&untouched), JobFinished);
    EXPECT_TRUE(untouched.errors.empty());
    EXPECT_EQ(ReadBytes(target), after);

    ASSERT_TRUE(WriteBytes(target, before));
    RecordingSink sink;
    int shown = 0;
    sink.onFile = [&](const std::string& file) {
        if (file == "a.dat" && ++shown == 2)  // planning showed it first; staging shows it now
            WriteBytes(target, other);
    };
    EXPECT_EQ(Run(&sink), JobRolledBack);
    EXPECT_EQ(shown, 2);
    ASSERT_EQ(sink.errors.size(), 1u);
    char text[1024];
    FormatText(text, sizeof text, DeltaBaseChangedFormat, "a.dat");
    EXPECT_EQ(sink.errors[0], text);
    EXPECT_EQ(ReadBytes(target), other);
    EXPECT_FALSE(PathExists(inst + "\\~UPDATE.JNL"));
}

TEST_F(DeltaBaseTest, NobodyWritesRenamesOrDeletesTheFileWhileTheDeltaReadsIt)
{
    std::string target = inst + "\\a.dat";
    RecordingSink sink;
    int tries = 0;
    sink.onBytes = [&] {
        if (tries++)
            return;
        HANDLE writer = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
        EXPECT_FALSE(MoveFileA(target.c_str(), (inst + "\\moved.dat").c_str()));
        EXPECT_FALSE(DeleteFileA(target.c_str()));
    };
    EXPECT_EQ(Run(&sink), JobFinished);
    EXPECT_GT(tries, 0);
    EXPECT_TRUE(sink.errors.empty());
    EXPECT_EQ(ReadBytes(target), after);
}
