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

JournalRecord Record(JournalRecordType type, const std::string& path, const std::string& staged = "",
                     const std::string& backup = "")
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = type;
    lstrcpyA(record.path, path.c_str());
    lstrcpyA(record.staged, staged.c_str());
    lstrcpyA(record.backup, backup.c_str());
    return record;
}

std::string Encode(const std::vector<JournalRecord>& records)
{
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    std::string bytes((const char*)header, sizeof header);
    JournalRecord job = Record(JournalJob, Inst, Data);
    job.time = 35;
    std::vector<JournalRecord> all{job};
    all.insert(all.end(), records.begin(), records.end());
    for (const JournalRecord& record : all) {
        unsigned char encoded[JournalRecordMaxSize];
        size_t size = EncodeJournalRecord(record, encoded);
        EXPECT_GT(size, 0u);
        bytes.append((const char*)encoded, size);
    }
    return bytes;
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
        fs.reset();
        DropArchive();
    }

    void Fresh()
    {
        fs.reset();  // one at a time: the table of file calls is the process's
        fs.reset(new MemoryFiles);
        UseJobValues(Inst, Data);
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

    // The next start settling `records` as a killed run left them, the journal open as the start holds it; then
    // the folder times, as after a rollback.
    SettleResult Settle(const std::vector<JournalRecord>& records)
    {
        std::string bytes = Encode(records);
        std::string path = std::string(Inst) + "\\~UPDATE.JNL";
        fs->File(path, bytes);
        HANDLE journal = Files.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        EXPECT_NE(journal, INVALID_HANDLE_VALUE);
        char lost[MAX_PATH] = "";
        LinkFoundPath[0] = '\0';
        SettleResult result = SettleJournal((const unsigned char*)bytes.data(), bytes.size(), journal, lost);
        Files.CloseHandle(journal);
        RestoreFolderTimes((const unsigned char*)bytes.data(), bytes.size());
        return result;
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
        {"a folder's time stamped through a junction", junction, {folderTime}, sub + "\\drivers", SettledNothing},
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

}  // namespace
