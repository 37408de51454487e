// The elevated job in a game folder that other users may change, on the in-memory file system: a junction, a
// symbolic link or a hard link put inside the folder must never carry a move, a deletion, an attribute, a time or a
// folder removal outside, whether the job meets it before it starts, while it runs, or as the next start settling
// what a killed run left.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "job/job_commit.h"
#include "job/job_journal.h"
#include "job/job_links.h"
#include "job/job_plan.h"
#include "job/job_recovery.h"
#include "job/job_seal.h"
#include "job/job_settle.h"
#include "job/job_stage.h"
#include "job/journal_format.h"
#include "job/update_job.h"
#include "job/update_section.h"
#include "job_fixture.h"
#include "memory_files.h"
#include "settings/setup_settings.h"
#include "support/file_calls.h"
#include "support/updater_values.h"

namespace {

const char Inst[] = "C:\\game";
const char Data[] = "C:\\game\\save";
const char System[] = "C:\\Windows\\System32";

std::string LinkBox(const std::string& path)
{
    return "「" + path +
           "」は、ゲームのフォルダーの外を指すリンク（ジャンクション、シンボリックリンクまたはハードリンク）です。フォ"
           "ルダーの外のファイルを変更しないよう、リンクの先には何もせずに作業を中止しました。リンクを取り除いてから、"
           "もう一度アップデートを実行して下さい";
}

// The job's sibling names for tag 35: "~00000Z" and a serial.
std::string Sibling(const std::string& folder, int serial)
{
    return folder + "\\~00000Z0000" + std::to_string(serial);
}

// A journal of this game's job with `records` after its Job record.
std::string Encode(const std::vector<JournalRecord>& records)
{
    std::vector<JournalRecord> all{JobRecord(Inst, Data)};
    all.insert(all.end(), records.begin(), records.end());
    return JournalBytes(all);
}

// A machine of its own for every test: the game's folder C:\game (data folder C:\game\save), and a system
// folder with a file and two folders that another user must never reach through the game's folder.
class JobLinksTest : public ::testing::Test {
protected:
    CaptionRestored caption;
    std::unique_ptr<MemoryFiles> fs;
    MessageBoxCapture boxes;
    UpdateSection section{};

    void SetUp() override { Fresh(); }

    void TearDown() override
    {
        RemoveJobSeal();
        fs.reset();
        DropArchive();
    }

    void Fresh()
    {
        fs.reset();  // one at a time: the table of file calls is the process's
        fs.reset(new MemoryFiles);
        UseJobValues(Inst, Data);
        RemoveJobSeal();  // a killed run's, from the test before: in the registry, not in the double
        fs->Folder(Inst);
        fs->Folder(Data);
        fs->Folder("C:\\Windows");
        fs->Folder(System);
        fs->Folder(std::string(System) + "\\drivers");
        fs->Folder(std::string(System) + "\\empty");
        fs->File(std::string(System) + "\\victim.dll", "the system's own", FILE_ATTRIBUTE_ARCHIVE);
        fs->owner = "Player";  // what follows is another user's
        boxes.boxes.clear();
    }

    std::string Outside() { return fs->Snapshot("C:\\Windows"); }

    // The next start's settling of the journal a run left, as the start does it: the journal held open, settled,
    // removed unless it must stay, and the folders' times put back after a rollback.
    SettleResult SettleLeftJournal()
    {
        std::string path = std::string(Inst) + "\\~UPDATE.JNL";
        std::string bytes = fs->Read(path);
        HANDLE journal = Files.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        EXPECT_NE(journal, INVALID_HANDLE_VALUE);
        char lost[MAX_PATH] = "";
        LinkFoundPath[0] = '\0';
        SettleResult result = SettleJournal((const unsigned char*)bytes.data(), bytes.size(), journal, lost);
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (result != SettleStuck && result != SettleLost)
            Files.SetFileInformationByHandle(journal, FileDispositionInfo, &disposition, sizeof disposition);
        Files.CloseHandle(journal);
        if (result == SettledRolledBack)
            RestoreFolderTimes((const unsigned char*)bytes.data(), bytes.size());
        return result;
    }

    // The same with `records` as a killed run "left" them.
    SettleResult Settle(const std::vector<JournalRecord>& records)
    {
        fs->File(std::string(Inst) + "\\~UPDATE.JNL", Encode(records));
        return SettleLeftJournal();
    }

    JobOutcome RunJob(const std::string& lines, const JobSink* sink = nullptr)
    {
        UseUpdateIni("[SETUP]\r\nGameDir=x\r\n[UPDATE]\r\n" + lines);
        ParseUpdateSection(InstallRecord.InstMode, &section);
        DriveShortage shortage{};
        return RunUpdateJob(section, InstallRecord, sink, &shortage);
    }

    std::vector<std::string> BoxTexts() const
    {
        std::vector<std::string> texts;
        for (const CapturedBox& box : boxes.boxes)
            texts.push_back(box.text);
        return texts;
    }
};

// Each attack on the next start's settling: what another user planted, the records a killed run "left" (paths
// inside the game's folder, as the journal's checks demand), and where the refusal says the link is. Without the
// checks each one changes something under C:\Windows.
struct SettleAttack {
    const char* name;
    std::function<void(MemoryFiles&)> plant;
    std::vector<JournalRecord> records;
    std::string link;
    SettleResult result;
};

TEST_F(JobLinksTest, SettlingNeverActsOutsideThroughALink)
{
    const std::string sub = std::string(Inst) + "\\sub";
    auto junction = [&](MemoryFiles& files) { files.Junction(sub, System); };
    JournalRecord commitBegins = Record(JournalCommitBegins, "");
    JournalRecord replaceVictim = Record(JournalReplace, sub + "\\victim.dll", Sibling(sub, 0), Sibling(sub, 1));
    replaceVictim.hadOriginal = 1;
    JournalRecord moveIn = Record(JournalReplace, std::string(Inst) + "\\game.exe", Sibling(Inst, 2), Sibling(sub, 3));
    moveIn.hadOriginal = 1;
    JournalRecord readOnlyThere = Record(JournalAttributes, sub + "\\victim.dll");
    readOnlyThere.oldAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
    readOnlyThere.newAttributes = FILE_ATTRIBUTE_NORMAL;
    JournalRecord readOnlyHard = readOnlyThere;
    lstrcpyA(readOnlyHard.path, (std::string(Inst) + "\\hard.dll").c_str());
    JournalRecord folderTime = Record(JournalFolderTime, sub + "\\drivers");
    folderTime.time = 0x01D0000000000000ull;
    auto outsideFile = [&](const char* name) {
        return [=](MemoryFiles& files) {
            files.Junction(sub, System);
            files.File(std::string(Inst) + "\\game.exe", "new game");
            files.File(std::string(System) + "\\" + name, "another user's");
        };
    };

    const SettleAttack attacks[] = {
        {"another user's file moved over a system file", outsideFile("~00000Z00001"), {commitBegins, replaceVictim},
         sub + "\\victim.dll", SettleStuck},
        {"a file outside moved in, the game's moved out", outsideFile("~00000Z00003"), {commitBegins, moveIn},
         Sibling(sub, 3), SettleStuck},
        {"a file outside deleted as a staged file", outsideFile("~00000Z00004"),
         {commitBegins, Record(JournalStaged, Sibling(sub, 4))}, Sibling(sub, 4), SettleStuck},
        {"a file outside deleted as a backup after the commit", outsideFile("~00000Z00003"),
         {commitBegins, moveIn, Record(JournalCommitDone, "")}, Sibling(sub, 3), SettleStuck},
        {"attributes set through a junction", junction, {commitBegins, readOnlyThere}, sub + "\\victim.dll",
         SettleStuck},
        {"attributes set through a second name",
         [&](MemoryFiles& files) {
             files.HardLink(std::string(Inst) + "\\hard.dll", std::string(System) + "\\victim.dll");
         },
         {commitBegins, readOnlyHard}, std::string(Inst) + "\\hard.dll", SettleStuck},
        {"a folder's time stamped through a junction", junction,
         {folderTime, commitBegins, Record(JournalStaged, Sibling(Inst, 6))}, sub + "\\drivers", SettledRolledBack},
        {"an empty folder removed through a junction", junction,
         {commitBegins, Record(JournalCreateFolder, sub + "\\empty")}, sub + "\\empty", SettleStuck},
        {"a symbolic link deleted as a staged file",
         [&](MemoryFiles& files) {
             files.SymbolicLink(Sibling(Inst, 5), std::string(System) + "\\victim.dll", false);
         },
         {commitBegins, Record(JournalStaged, Sibling(Inst, 5))}, Sibling(Inst, 5), SettleStuck},
    };
    for (const SettleAttack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        Fresh();
        attack.plant(*fs);
        std::string outside = Outside();
        EXPECT_EQ(Settle(attack.records), attack.result);
        EXPECT_EQ(Outside(), outside);
        EXPECT_EQ(std::string(LinkFoundPath), attack.link);
    }
}

// A link already there when the job starts: the job stops before any change, with the box that names it, and the
// whole machine is as it was to the byte and the time stamp.
struct JobAttack {
    const char* name;
    std::string lines;
    std::function<void(MemoryFiles&)> plant;
    std::string link;
};

TEST_F(JobLinksTest, ALinkFoundBeforeTheJobStopsItBeforeAnyChange)
{
    const std::string sub = std::string(Inst) + "\\sub";
    const JobAttack attacks[] = {
        {"a junction on the way to a target", "UpdateFile00=sub\\victim.dll\r\n",
         [&](MemoryFiles& files) { files.Junction(sub, System); }, sub},
        {"a folder's symbolic link on the way to a target", "UpdateFile00=sub\\victim.dll\r\n",
         [&](MemoryFiles& files) { files.SymbolicLink(sub, System, true); }, sub},
        {"a kept file whose read-only mark would go, with a second name outside", "UpdateFile00=u,kept.dat\r\n",
         [&](MemoryFiles& files) {
             files.File(std::string(System) + "\\kept.dll", "system", FILE_ATTRIBUTE_READONLY);
             files.HardLink(std::string(Inst) + "\\kept.dat", std::string(System) + "\\kept.dll");
         },
         std::string(Inst) + "\\kept.dat"},
        {"a data file's symbolic link: the file outside would be read and written back inside",
         "UpdateFile00=d,save.dat\r\n",
         [&](MemoryFiles& files) {
             files.SymbolicLink(std::string(Data) + "\\save.dat", std::string(System) + "\\victim.dll", false);
         },
         std::string(Data) + "\\save.dat"},
    };
    for (const JobAttack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        Fresh();
        UseArchive({"victim.dll", "kept.dat", "save.dat"});
        attack.plant(*fs);
        std::string before = fs->Snapshot("C:");
        EXPECT_EQ(RunJob(attack.lines), JobRolledBack);
        EXPECT_EQ(fs->Snapshot("C:"), before);
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{LinkBox(attack.link)});
    }
}

// A sink that records the job's boxes and lets a test act at the point of no return, as another user (or a kill)
// would between the staging and the commit.
struct RecordingSink {
    std::vector<std::string> boxes;
    std::function<void()> beforeCommit;
    JobSink sink;

    RecordingSink()
    {
        sink.context = this;
        sink.showError = [](void* context, const char* text) {
            ((RecordingSink*)context)->boxes.push_back(text);
            return IDOK;
        };
        // The disc is there from the start; asked for again (its check file gone with a dead disk), the player
        // declines, or the job would ask for ever.
        sink.askDisc = [](void*, const char*) { return IDCANCEL; };
        sink.setInfoText = [](void*, const char*, const char*) {};
        sink.setTotal = [](void*, uint64_t) {};
        sink.startFile = [](void*, const char*) {};
        sink.addBytes = [](void*, uint64_t) {};
        sink.stopRequested = [](void*) { return 0; };
        sink.enterCommit = [](void* context) {
            RecordingSink* self = (RecordingSink*)context;
            if (self->beforeCommit)
                self->beforeCommit();
            return 1;
        };
    }
};

// The job's staged files ("~" and eleven letters) in a folder.
std::vector<std::string> StagedNames(MemoryFiles& files, const std::string& folder)
{
    std::vector<std::string> staged;
    for (const std::string& name : files.Names(folder))
        if (name.size() == 12 && name[0] == '~')
            staged.push_back(name);
    return staged;
}

// Another user swaps a folder of the game for a junction to the system folder, with a file under each staged
// name there: every step that follows the path would reach the system folder.
void SwapForJunction(MemoryFiles& files, const std::string& folder)
{
    std::vector<std::string> staged = StagedNames(files, folder);
    ASSERT_FALSE(staged.empty());
    files.Rename(folder, folder + "-moved");
    files.Junction(folder, System);
    for (const std::string& name : staged)
        files.File(std::string(System) + "\\" + name, "another user's");
}

TEST_F(JobLinksTest, ALinkPutInWhileTheJobRunsIsRefusedAndNothingOutsideChanges)
{
    UseArchive({"a.dat"});
    const std::string sub = std::string(Inst) + "\\sub";
    fs->Folder(sub);
    fs->File(sub + "\\a.dat", "old-a");
    fs->File(std::string(System) + "\\a.dat", "the system's a");
    RecordingSink recorder;
    std::string outside;
    recorder.beforeCommit = [&] {
        SwapForJunction(*fs, sub);
        outside = Outside();
    };
    LinkFoundPath[0] = '\0';
    // The staged file "there" is another user's now: the rollback leaves it and the journal for the next start.
    EXPECT_EQ(RunJob("UpdateFile00=sub\\a.dat\r\n", &recorder.sink), JobStuck);
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(fs->Read(sub + "-moved\\a.dat"), "old-a");
    EXPECT_EQ(recorder.boxes,
              (std::vector<std::string>{"ファイルの書き込みに失敗しました", LinkBox(sub + "\\a.dat")}));
}

TEST_F(JobLinksTest, AfterAKillTheJobsOwnNewFolderSwappedForAJunctionIsRefused)
{
    // The disc copy creates C:\game\tree and stages its file in it; the run dies at the commit.
    lstrcpyA(SetupSettings.DiskCheckFile[1], "DISK1.CHK");
    fs->File("D:\\DISK1.CHK", "");
    fs->Folder("D:\\tree");
    fs->File("D:\\tree\\x.txt", "disc x");
    RecordingSink recorder;
    recorder.beforeCommit = [&] { fs->FailAt(1, MemoryFiles::Kill); };
    // Dead, its rollback cannot record that every file is back: the journal stays for the next start.
    EXPECT_EQ(RunJob("CopyFile00=1:tree\r\n", &recorder.sink), JobUnrecorded);
    fs->Revive();
    const std::string tree = std::string(Inst) + "\\tree";
    SwapForJunction(*fs, tree);
    std::string outside = Outside();

    EXPECT_EQ(SettleLeftJournal(), SettleStuck);
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(std::string(LinkFoundPath).substr(0, tree.size() + 2), tree + "\\~");

    // The start itself, by the job's seal: the same refusal, told as the link it is, never as a file in use.
    boxes.boxes.clear();
    EXPECT_EQ(FinishInterruptedJob(InstallRecord), 0);
    EXPECT_EQ(Outside(), outside);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{LinkBox(LinkFoundPath)});
}

TEST_F(JobLinksTest, ATargetWithASecondNameIsReplacedByARenameNeverWrittenThrough)
{
    UseArchive({"a.dat"});
    fs->File(std::string(System) + "\\shared.dll", "the system's", FILE_ATTRIBUTE_SYSTEM);
    fs->HardLink(std::string(Inst) + "\\a.dat", std::string(System) + "\\shared.dll");
    EXPECT_EQ(RunJob("UpdateFile00=a.dat\r\n"), JobFinished);
    EXPECT_EQ(fs->Read(std::string(Inst) + "\\a.dat"), "new-a.dat");
    // The system's file keeps its bytes and its mark; only its second name in the game's folder is gone.
    EXPECT_EQ(fs->Read(std::string(System) + "\\shared.dll"), "the system's");
    EXPECT_EQ(fs->Attributes(std::string(System) + "\\shared.dll"), (DWORD)FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(fs->Names(Inst), (std::vector<std::string>{"a.dat", "save"}));
    EXPECT_TRUE(BoxTexts().empty());
}

// The installation and data folders themselves are taken as they resolve when the job starts: a game moved to
// another place and linked back is updated where it is.
TEST_F(JobLinksTest, AGameReachedThroughALinkToItsOwnFolderIsUpdatedThere)
{
    UseArchive({"a.dat"});
    fs->Folder("C:\\D-drive");
    fs->Rename(Inst, "C:\\D-drive\\game");
    fs->Junction(Inst, "C:\\D-drive\\game");
    fs->File("C:\\D-drive\\game\\a.dat", "old-a");
    EXPECT_EQ(RunJob("UpdateFile00=a.dat\r\nUpdateFile01=d,a.dat\r\n"), JobFinished);
    EXPECT_EQ(fs->Read("C:\\D-drive\\game\\a.dat"), "new-a.dat");
    EXPECT_EQ(fs->Read("C:\\D-drive\\game\\save\\a.dat"), "new-a.dat");
    EXPECT_EQ(fs->Attributes(Inst) & FILE_ATTRIBUTE_REPARSE_POINT, (DWORD)FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(BoxTexts().empty());
}

// Another program holds a target without delete sharing: the move aside is refused, tried again for a while, and
// the job rolls back with the game exactly as it was. Once it lets go, the job replaces the file with a new one of
// its own (the Administrators group's), never writing into the player's.
TEST_F(JobLinksTest, ATargetHeldWithoutDeleteSharingStopsTheJobUntilItIsLetGo)
{
    UseArchive({"a.dat"});
    const std::string target = std::string(Inst) + "\\a.dat";
    fs->File(target, "old-a");
    const std::string before = fs->Snapshot("C:");
    HANDLE held = Files.CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunJob("UpdateFile00=a.dat\r\n"), JobRolledBack);
    Files.CloseHandle(held);
    EXPECT_EQ(fs->Snapshot("C:"), before);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"ファイルの書き込みに失敗しました"});

    boxes.boxes.clear();
    EXPECT_EQ(fs->OwnerOf(target), "Player");
    EXPECT_EQ(RunJob("UpdateFile00=a.dat\r\n"), JobFinished);
    EXPECT_EQ(fs->Read(target), "new-a.dat");
    EXPECT_EQ(fs->OwnerOf(target), "Administrators");
    EXPECT_TRUE(BoxTexts().empty());
}

// A kill, a full disk or a failed flush at every mutating call of a job that replaces, creates and copies into a
// new folder: after the next start the game is exactly as it was, or holds exactly what a clean run leaves.
TEST_F(JobLinksTest, AFailureAtAnyMutatingCallLeavesTheGameWholeAfterTheNextStart)
{
    const std::string lines = "UpdateFile00=a.dat\r\nUpdateFile01=new.dat\r\nCopyFile00=1:tree\r\n";
    auto install = [&] {
        Fresh();
        UseArchive({"a.dat", "new.dat"});
        lstrcpyA(SetupSettings.DiskCheckFile[1], "DISK1.CHK");
        fs->owner = "Administrators";
        fs->File(std::string(Inst) + "\\a.dat", "old-a");
        fs->File("D:\\DISK1.CHK", "");
        fs->Folder("D:\\tree");
        fs->File("D:\\tree\\x.txt", "disc x");
    };
    install();
    EXPECT_EQ(RunJob(lines), JobFinished);
    const int calls = fs->MutatingCalls();
    const std::string after = fs->Contents(Inst);
    ASSERT_GT(calls, 10);

    const MemoryFiles::Failure kinds[] = {MemoryFiles::Kill, MemoryFiles::DiskFull, MemoryFiles::FlushFails};
    for (MemoryFiles::Failure kind : kinds) {
        for (int call = 1; call <= calls; ++call) {
            SCOPED_TRACE("failure " + std::to_string(kind) + " at call " + std::to_string(call));
            install();
            const std::string before = fs->Snapshot("C:"), beforeContents = fs->Contents("C:");
            fs->FailAt(call, kind);
            RecordingSink recorder;
            JobOutcome outcome = RunJob(lines, &recorder.sink);
            fs->Revive();
            // The next start: what the journal says, if one stayed.
            SettleResult settled = SettledNothing;
            bool journalLeft = fs->Exists(std::string(Inst) + "\\~UPDATE.JNL");
            if (journalLeft) {
                settled = SettleLeftJournal();
                ASSERT_TRUE(settled == SettledNothing || settled == SettledRolledBack || settled == SettledCleanedUp)
                    << settled;
            }
            // A journal with no step recorded is only removed: the folder's time shows it was there.
            bool finished = outcome == JobFinished || outcome == JobUnconfirmed || settled == SettledCleanedUp;
            if (finished && settled != SettledRolledBack)
                EXPECT_EQ(fs->Contents(Inst), after) << outcome;
            else if (journalLeft && settled == SettledNothing)
                EXPECT_EQ(fs->Contents("C:"), beforeContents) << outcome;
            else
                EXPECT_EQ(fs->Snapshot("C:"), before) << outcome;
        }
    }
}

}  // namespace
