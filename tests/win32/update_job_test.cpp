#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "harness.h"
#include "job/update_job.h"
#include "job/job_seal.h"
#include "job_fixture.h"
#include "settings/setup_settings.h"
#include "support/globals.h"
#include "support/updater_values.h"
#include "wizard/job_thread.h"
#include "wizard/wizard.h"
#include "wizard_driver.h"

namespace {

// Whether a job's seal is still there: one that ended (finished, or rolled back) leaves none.
bool SealLeft()
{
    unsigned char* seal = nullptr;
    size_t size = 0;
    SealState state = ReadJobSeal(&seal, &size);
    if (seal)
        GlobalFree(seal);
    return state != SealNone;
}

unsigned long long LastAccess(const std::string& path)
{
    FILETIME access{}, write{};
    return GetFileTimes(path, &access, &write) ? FileTimeValue(access) : 0;
}

bool IsReadOnly(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool IsFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeReadOnly(const std::string& path)
{
    return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
}

unsigned long long FreeBytes(const char* root)
{
    ULARGE_INTEGER caller{}, total{}, totalFree{};
    GetDiskFreeSpaceExA(root, &caller, &total, &totalFree);
    return caller.QuadPart;
}

// Files of a job (staged or backups, "~" and eleven letters) in a folder.
size_t StagedFiles(const std::string& folder)
{
    size_t count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\~*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            ++count;
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return count;
}

const char WriteFailure[] = "ファイルの書き込みに失敗しました";
const char LeftAsItWas[] = "ゲームのファイルは元のままです。もう一度アップデートを実行できます";

std::string CopyFailure(const std::string& path)
{
    return "SETUP.INI : \"" + path + "\" のコピーに失敗しました";
}

// What a run of the wizard through its job showed.
struct JobRun {
    INT_PTR result;
    bool jobReturned;    // the dialog was still open after the job: finished or short of space
    WizardState after;   // the state the job left, when it returned
    HWND dialog;
    unsigned long long cursorAfter;
};

class UpdateJobTest : public ::testing::Test {
protected:
    CaptionRestored caption;  // SetUp sets the composed one
    ScratchFolder folder;
    std::string inst, data;
    MessageBoxCapture boxes;

    void SetUp() override
    {
        lstrcpyA(WindowCaption, "表示ゲーム アップデート");
        lstrcpyA(ModeWord, "アップデート");
        ModeTextInstall = 0;
        lstrcpyA(GameTitle, "表示ゲーム");
        NameJobSeal("ソフト会社", "UpdTestGame");
        RemoveJobSeal();
        AgreementTextData = nullptr;
        AgreementTitleData = nullptr;
        MissingKeySilent = 1;
        DataFolder[0] = '\0';
        memset(&SetupSettings, 0, sizeof SetupSettings);
        inst = folder / "inst";
        data = folder / "data";
        CreateDirectoryA(inst.c_str(), nullptr);
        CreateDirectoryA(data.c_str(), nullptr);
        memset(&InstallRecord, 0, sizeof InstallRecord);
        lstrcpyA(InstallRecord.InstPath, inst.c_str());
        lstrcpyA(InstallRecord.DataPath, data.c_str());
        InstallRecord.InstMode = 1;
    }

    void TearDown() override
    {
        DropArchive();
    }

    // Moves the installation onto the empty 1 MiB F: drive; false (with the reason) where there is none.
    bool InstallOnSmallDisk(std::string* why)
    {
        if (!SmallDiskAvailable(why))
            return false;
        ClearSmallDisk();
        inst = "F:\\inst";
        lstrcpyA(InstallRecord.InstPath, inst.c_str());
        EXPECT_TRUE(CreateDirectoryA(inst.c_str(), nullptr));
        return true;
    }

    void Section(const std::string& lines)
    {
        UseUpdateIni("[SETUP]\r\nGameDir=x\r\n[UPDATE]\r\n" + lines);
    }

    // Next to the confirmation page, Next to run the job; then, if the dialog is still open, the state the job
    // left and Next (finished) or Cancel (short of space).
    JobRun Run(int templateId = WizardTemplatePlain)
    {
        JobRun run{};
        run.result = RunWizard(templateId, {
                                               [&](HWND dialog) {
                                                   run.dialog = dialog;
                                                   Click(dialog, WizardNextButton);
                                               },
                                               [](HWND dialog) { Click(dialog, WizardNextButton); },
                                               [&](HWND dialog) {
                                                   run.jobReturned = true;
                                                   run.after = ReadWizardState(dialog);
                                                   run.cursorAfter = (unsigned long long)(UINT_PTR)GetCursor();
                                                   Click(dialog, run.after.nextEnabled ? WizardNextButton
                                                                                       : WizardCancelButton);
                                               },
                                           });
        return run;
    }

    // Every box the job showed is an error box over the wizard with the window caption.
    void ExpectErrorBoxes(const JobRun& run, const std::vector<std::string>& texts)
    {
        ASSERT_EQ(boxes.boxes.size(), texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(boxes.boxes[i].text, texts[i]);
            EXPECT_EQ(boxes.boxes[i].caption, "表示ゲーム アップデート");
            EXPECT_EQ(boxes.boxes[i].style, (UINT)(MB_ICONERROR | MB_OK));
            EXPECT_EQ(boxes.boxes[i].owner, run.dialog);
        }
    }

    // A failed job: its own error boxes, then the one that says the game was left as it was, and the dialog ends.
    void ExpectRolledBack(const JobRun& run, const std::vector<std::string>& failureBoxes)
    {
        EXPECT_EQ(run.result, -1);
        EXPECT_FALSE(run.jobReturned);
        ASSERT_EQ(boxes.boxes.size(), failureBoxes.size() + 1);
        std::vector<CapturedBox> failures(boxes.boxes.begin(), boxes.boxes.end() - 1);
        boxes.boxes.swap(failures);
        ExpectErrorBoxes(run, failureBoxes);
        boxes.boxes.swap(failures);
        const CapturedBox& last = boxes.boxes.back();
        EXPECT_EQ(last.text, LeftAsItWas);
        EXPECT_FALSE(SealLeft()) << "the next start would take the job for a killed one";
        EXPECT_EQ(last.caption, "表示ゲーム アップデート");
        EXPECT_EQ(last.style, (UINT)(MB_ICONINFORMATION | MB_OK));
        EXPECT_EQ(last.owner, run.dialog);
    }

    TreeSnapshot Snapshot() const
    {
        return SnapshotInstallation(inst, data);
    }

    void ExpectFinished(const JobRun& run, const char* info = "アップデートは完了しました")
    {
        EXPECT_EQ(run.result, WizardFinished);
        ASSERT_TRUE(run.jobReturned);
        EXPECT_EQ(run.after.info, info);
        EXPECT_EQ(run.after.nextLabel, "完了");
        EXPECT_TRUE(run.after.nextEnabled);
        EXPECT_TRUE(run.after.nextFocused);
        EXPECT_FALSE(run.after.backEnabled);
        EXPECT_FALSE(run.after.cancelEnabled);
        EXPECT_EQ(run.after.step, 2);
        EXPECT_EQ(run.cursorAfter, (unsigned long long)(UINT_PTR)LoadCursorA(nullptr, IDC_ARROW));
        EXPECT_FALSE(SealLeft()) << "the next start would take the job for a killed one";
    }

    void ExpectEndedByFailure(const JobRun& run)
    {
        EXPECT_EQ(run.result, -1);
        EXPECT_FALSE(run.jobReturned);
    }
};

enum Target { Missing, Older, Same, Newer, ReadOnlyOlder, ReadOnlyNewer, Folder };

TEST_F(UpdateJobTest, EachKindAgainstEachKindOfTarget)
{
    struct {
        const char* name;
        const char* prefix;  // what precedes the path in the value
        Target target;
        bool inData;
        bool fromArchive;     // content and times of the entry; else the target stays as it was
        bool readOnlyAfter;
    } cases[] = {
        {"n1.dat", "", Missing, false, true, false},
        {"n2.dat", "", Newer, false, true, false},
        {"n3.dat", "1,", ReadOnlyNewer, false, true, false},
        {"u1.dat", "u,", Missing, false, true, false},
        {"u2.dat", "1,u,", Older, false, true, false},
        {"u3.dat", "U,", Same, false, true, false},
        {"u4.dat", "u,", Newer, false, false, false},
        {"u5.dat", "u,", ReadOnlyNewer, false, false, false},  // kept, but no longer read-only
        {"d1.dat", "d,", Missing, true, true, false},
        {"d2.dat", "D,", Older, true, false, false},
        {"d3.dat", "1,d,", ReadOnlyOlder, true, false, true},
        {"o1.dat", "o,", Missing, false, false, false},
        {"o2.dat", "O,", Older, false, true, false},
        {"o3.dat", "o,", Folder, false, false, false},
        {"o4.dat", "o,", ReadOnlyNewer, false, true, false},
    };
    std::vector<std::string> names;
    std::string lines;
    int key = 0;
    for (const auto& c : cases) {
        names.push_back(c.name);
        char line[300];
        wsprintfA(line, "UpdateFile%02i=%s%s\r\n", key++, c.prefix, c.name);
        lines += line;
        std::string path = (c.inData ? data : inst) + "\\" + c.name;
        if (c.target == Folder) {
            ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
        } else if (c.target != Missing) {
            ASSERT_TRUE(WriteBytes(path, std::string("old-") + c.name));
            unsigned long long time = c.target == Older || c.target == ReadOnlyOlder ? EntryTime - Second
                                      : c.target == Same                           ? EntryTime
                                                                                   : EntryTime + Second;
            ASSERT_TRUE(SetLastWriteTime(path, time));
            if (c.target == ReadOnlyOlder || c.target == ReadOnlyNewer) {
                ASSERT_TRUE(MakeReadOnly(path));
            }
        }
    }
    // A path with a folder takes the entry of its last part and writes into that existing folder.
    names.push_back("s1.dat");
    lines += "UpdateFile15=sub\\s1.dat\r\n";
    ASSERT_TRUE(CreateDirectoryA((inst + "\\sub").c_str(), nullptr));
    UseArchive(names);
    Section(lines);

    JobRun run = Run();
    ExpectFinished(run);
    EXPECT_TRUE(boxes.boxes.empty());

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = (c.inData ? data : inst) + "\\" + c.name;
        if (c.target == Folder) {
            EXPECT_TRUE(IsFolder(path));
            continue;
        }
        if (c.target == Missing && !c.fromArchive) {
            EXPECT_FALSE(PathExists(path));
            continue;
        }
        // Times first: reading the content moves the last-access time.
        if (c.fromArchive) {
            EXPECT_EQ(LastWriteTime(path), EntryTime);
            EXPECT_EQ(LastAccess(path), EntryTime);
        } else if (c.target == Newer || c.target == ReadOnlyNewer) {
            EXPECT_EQ(LastWriteTime(path), EntryTime + Second);
        }
        bool ok = false;
        std::string content = ReadBytes(path, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(content, std::string(c.fromArchive ? "new-" : "old-") + c.name);
        EXPECT_EQ(IsReadOnly(path), c.readOnlyAfter);
    }
    EXPECT_EQ(ReadBytes(inst + "\\sub\\s1.dat"), "new-s1.dat");
    EXPECT_FALSE(PathExists(inst + "\\s1.dat"));
    EXPECT_FALSE(PathExists(inst + "\\d1.dat")) << "Data items go to the data folder only";
}

TEST_F(UpdateJobTest, OverwriteOnlyLimitsEveryKindToExistingFiles)
{
    struct {
        const char* value;
        bool on;
    } cases[] = {{"1", true}, {" -2", true}, {"0", false}, {"abc", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        RemoveTree(inst);
        RemoveTree(data);
        CreateDirectoryA(inst.c_str(), nullptr);
        CreateDirectoryA(data.c_str(), nullptr);
        ASSERT_TRUE(WriteBytes(inst + "\\b.dat", "old-b.dat"));
        ASSERT_TRUE(WriteBytes(data + "\\f.dat", "old-f.dat"));
        UseArchive({"a.dat", "b.dat", "c.dat", "e.dat", "f.dat"});
        Section(std::string("OverwriteOnly=") + c.value +
                "\r\nUpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=u,c.dat\r\n"
                "UpdateFile03=d,e.dat\r\nUpdateFile04=d,f.dat\r\n");
        boxes.boxes.clear();
        JobRun run = Run();
        ExpectFinished(run);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(PathExists(inst + "\\a.dat"), !c.on);
        EXPECT_EQ(PathExists(inst + "\\c.dat"), !c.on);
        EXPECT_EQ(PathExists(data + "\\e.dat"), !c.on);
        EXPECT_EQ(ReadBytes(inst + "\\b.dat"), "new-b.dat");
        EXPECT_EQ(ReadBytes(data + "\\f.dat"), "old-f.dat");
    }
}

TEST_F(UpdateJobTest, DataFolderIsCreatedForEveryItemEvenASkippedOne)
{
    lstrcpyA(DataFolder, "セーブ");
    UseArchive({"b.dat", "c.dat"});
    Section("UpdateFile00=d,b.dat\r\nUpdateFile01=o,c.dat\r\n");
    JobRun run = Run();
    ExpectFinished(run);
    EXPECT_EQ(ReadBytes(data + "\\セーブ\\b.dat"), "new-b.dat");
    EXPECT_TRUE(IsFolder(inst + "\\セーブ")) << "created before the Overwrite test skipped the item";
    EXPECT_FALSE(PathExists(inst + "\\セーブ\\c.dat"));
}

// A failure at any item, whatever came before it: nothing of the installation changes, not even a folder's time.
TEST_F(UpdateJobTest, MissingSubFolderLeavesTheInstallationAsItWas)
{
    lstrcpyA(DataFolder, "セーブ");  // a folder the job creates, and must remove again
    ASSERT_TRUE(WriteBytes(inst + "\\b.dat", "old-b.dat"));
    ASSERT_TRUE(SetLastWriteTime(inst + "\\b.dat", EntryTime - Second));
    ASSERT_TRUE(MakeReadOnly(inst + "\\b.dat"));
    UseArchive({"a.dat", "b.dat", "c.dat", "d.dat"});
    Section("UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=sub\\c.dat\r\nUpdateFile03=d.dat\r\n");
    Sleep(20);  // so that anything the job writes would carry another time
    TreeSnapshot before = Snapshot();
    JobRun run = Run();
    ExpectRolledBack(run, {WriteFailure});
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
}

TEST_F(UpdateJobTest, MissingEntryShowsItsOwnMessageFirst)
{
    UseArchive({"a.dat"});
    Section("UpdateFile00=a.dat\r\nUpdateFile01=nothere.dat\r\n");
    TreeSnapshot before = Snapshot();
    JobRun run = Run();
    ExpectRolledBack(run, {"Can't Find File in Resource !!", WriteFailure});
    EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
}

TEST_F(UpdateJobTest, NoItemKeysAtAll)
{
    // A key behind a gap is never read.
    for (const char* lines : {"", "RequiredDiskSpace=1\r\nUpdateFile01=a.dat\r\nCopyFile01=1:x.dat\r\n"}) {
        SCOPED_TRACE(lines);
        boxes.boxes.clear();
        UseArchive({"a.dat"});
        Section(lines);
        JobRun run = Run();
        ExpectEndedByFailure(run);
        ExpectErrorBoxes(run, {"No 'UpdateFileXX' and 'CopyFileXX'"});
        EXPECT_FALSE(PathExists(inst + "\\a.dat"));
    }
}

TEST_F(UpdateJobTest, KeysForOtherInstallationTypesOnlyCountAsFinished)
{
    struct {
        int install;
        const char* modeWord;
        const char* finished;
    } cases[] = {{0, "アップデート", "アップデートは完了しました"}, {1, "インストール", "インストールは完了しました"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modeWord);
        boxes.boxes.clear();
        ModeTextInstall = c.install;
        lstrcpyA(ModeWord, c.modeWord);
        UseArchive({"a.dat", "b.dat"});
        Section("UpdateFile00=2,a.dat\r\nUpdateFile01=0,u,b.dat\r\nCopyFile00=2,1:x.dat\r\n");
        JobRun run = Run();
        ExpectFinished(run, c.finished);
        ExpectErrorBoxes(run, {"アップデートする必要のあるファイルはありません"});
        EXPECT_FALSE(PathExists(inst + "\\a.dat"));
        EXPECT_FALSE(PathExists(inst + "\\b.dat"));
    }
}

TEST_F(UpdateJobTest, FreeSpaceOfTheInstallationDrive)
{
    std::string why;
    if (!InstallOnSmallDisk(&why))
        GTEST_SKIP() << why;
    UseArchive({"a.dat"});
    unsigned long long free = FreeBytes("F:\\");
    ASSERT_GT(free, 0ull);
    ASSERT_LT(free, 2000000ull);

    struct {
        std::string required;
        unsigned long long shortfall;  // 0: passes
    } cases[] = {
        {std::to_string(free), 0},
        {std::to_string(free + 1), 1},
        {"  +" + std::to_string(free + 1), 1},
        // Past 32 bits: compared in full, and the shortfall shown as the unsigned number it is.
        {std::to_string(free + 5000000000ull), 5000000000ull},
        // A negative value has always asked for its unsigned 32-bit reading.
        {"-1", 4294967295ull - free},
        {"0", 0},
        {"abc", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.required);
        DeleteFileA((inst + "\\a.dat").c_str());
        ASSERT_EQ(FreeBytes("F:\\"), free);
        boxes.boxes.clear();
        Section("RequiredDiskSpace=" + c.required + "\r\nUpdateFile00=a.dat\r\n");
        JobRun run = Run();
        if (!c.shortfall) {
            ExpectFinished(run);
            EXPECT_EQ(ReadBytes(inst + "\\a.dat"), "new-a.dat");
            continue;
        }
        ASSERT_TRUE(run.jobReturned);
        EXPECT_EQ(run.result, -1);  // the driver's Cancel
        EXPECT_EQ(run.after.info, "ディスク容量が足りません。\rF: ドライブに " + std::to_string(c.shortfall) +
                                      " バイトの空き容量が必要です");
        EXPECT_TRUE(run.after.backEnabled);
        EXPECT_FALSE(run.after.nextEnabled);
        EXPECT_TRUE(run.after.cancelEnabled);
        EXPECT_EQ(run.after.nextLabel, "次へ");
        EXPECT_EQ(run.after.step, 2);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_FALSE(PathExists(inst + "\\a.dat"));
    }
}

// The whole job is weighed against the disk each file lands on: a Data file written back with its own bytes takes
// room like any other while both copies exist, and a folder that is another disk mounted under C: (a junction or
// a mount point; under Wine a link to the small disk) is weighed against that disk, not against C:.
TEST_F(UpdateJobTest, EachFileIsWeighedAgainstTheDiskItLandsOn)
{
    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    if (!PathExists("C:\\upd-small"))
        GTEST_SKIP() << "no C:\\upd-small: scripts/wine-prepare links it to the small disk";
    DWORD sectors = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("F:\\", &sectors, &bytesPerSector, &freeClusters, &clusters));
    const unsigned long long cluster = (unsigned long long)sectors * bytesPerSector;
    auto rounded = [&](unsigned long long bytes) { return (bytes + cluster - 1) / cluster * cluster; };
    struct {
        const char* label;
        std::string dataPath;
        bool writtenBack;  // the item's file is there already and goes back with its own bytes
        size_t size;
        std::string shown;
    } cases[] = {
        {"a Data file written back", "F:\\data", true, 700000, "F:"},
        {"a disk mounted in a folder of C:", "C:\\upd-small\\data", false, 1200000, "C:\\upd-small"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ClearSmallDisk();
        ASSERT_TRUE(CreateDirectoryA(c.dataPath.c_str(), nullptr));
        lstrcpyA(InstallRecord.DataPath, c.dataPath.c_str());
        std::string file = c.dataPath + "\\save.dat";
        if (c.writtenBack) {
            ASSERT_TRUE(WriteBytes(file, std::string(c.size, 's')));
        }
        UseArchiveEntries({FixtureEntry{"save.dat", std::string(c.size, 'n')}});
        Section("UpdateFile00=d,save.dat\r\n");
        unsigned long long free = FreeBytes("F:\\");
        boxes.boxes.clear();
        JobRun run = Run();
        ASSERT_TRUE(run.jobReturned);
        EXPECT_EQ(run.after.info, "ディスク容量が足りません。\r" + c.shown + " ドライブに " +
                                      std::to_string(rounded(c.size) - free) + " バイトの空き容量が必要です");
        EXPECT_FALSE(run.after.nextEnabled);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(ReadBytes(file), c.writtenBack ? std::string(c.size, 's') : "");
        EXPECT_EQ(StagedFiles(c.dataPath), 0u);
    }
    ClearSmallDisk();
}

TEST_F(UpdateJobTest, InstallationFolderWithoutDriveLetterSkipsTheSpaceTest)
{
    lstrcpyA(InstallRecord.InstPath, "\\\\server\\share\\game");
    UseArchive({"a.dat"});
    Section("RequiredDiskSpace=1000000000000000000\r\nUpdateFile00=2,a.dat\r\n");
    JobRun run = Run();
    ExpectFinished(run);
    ExpectErrorBoxes(run, {"アップデートする必要のあるファイルはありません"});
}

TEST_F(UpdateJobTest, DataItemWithoutAnAbsoluteDataFolderFails)
{
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path.c_str()));
    for (const char* dataPath : {"", "data", "data\\rel", "C:data"}) {
        SCOPED_TRACE(dataPath);
        boxes.boxes.clear();
        lstrcpyA(InstallRecord.DataPath, dataPath);
        DeleteFileA((inst + "\\a.dat").c_str());
        UseArchive({"a.dat", "b.dat"});
        Section("UpdateFile00=a.dat\r\nUpdateFile01=d,b.dat\r\n");
        JobRun run = Run();
        ExpectRolledBack(run, {WriteFailure});
        EXPECT_FALSE(PathExists(inst + "\\a.dat"));
        EXPECT_FALSE(PathExists(folder / "b.dat"));
        EXPECT_FALSE(PathExists(folder / "data\\b.dat"));
        EXPECT_FALSE(PathExists(folder / "data\\rel\\b.dat"));
    }
}

// An existing data file that cannot be read whole is the player's and stays byte for byte; the job goes on.
TEST_F(UpdateJobTest, DataTargetsThatCannotBeLoadedStayAsTheyAre)
{
    std::string locked = data + "\\locked.dat";
    std::string big = data + "\\big.dat";
    ASSERT_TRUE(WriteBytes(locked, "old-locked"));
    HANDLE bigFile = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    ASSERT_NE(bigFile, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = 0x100000000LL;
    DWORD written = 0;
    ASSERT_TRUE(SetFilePointerEx(bigFile, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(bigFile, "0123456789", 10, &written, nullptr));
    CloseHandle(bigFile);

    HANDLE holder = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    UseArchive({"locked.dat", "big.dat", "after.dat"});
    Section("UpdateFile00=d,locked.dat\r\nUpdateFile01=d,big.dat\r\nUpdateFile02=after.dat\r\n");
    JobRun run = Run();
    CloseHandle(holder);

    ExpectFinished(run);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(ReadBytes(locked), "old-locked");
    EXPECT_EQ(ReadBytes(inst + "\\after.dat"), "new-after.dat");

    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExA(big.c_str(), GetFileExInfoStandard, &info));
    EXPECT_EQ(info.nFileSizeHigh, 1u);
    EXPECT_EQ(info.nFileSizeLow, 10u);
    HANDLE check = CreateFileA(big.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(check, INVALID_HANDLE_VALUE);
    char tail[11] = "";
    DWORD read = 0;
    SetFilePointerEx(check, at, nullptr, FILE_BEGIN);
    ReadFile(check, tail, 10, &read, nullptr);
    CloseHandle(check);
    EXPECT_STREQ(tail, "0123456789");
    DeleteFileA(big.c_str());
}

TEST_F(UpdateJobTest, RefusedUpdateItemsFailWithTheWriteBox)
{
    std::string longName(250, 'n');  // fits the token, not the installation folder joined with it
    struct {
        std::string line;
    } cases[] = {
        {"UpdateFile01=" + std::string(300, 'x') + ".dat"},  // cut token
        {"UpdateFile01=" + longName},
        {"UpdateFile01=o," + longName},  // the Overwrite test never runs on the folder alone
        {"UpdateFile01=o,bad?.dat"},     // attributes unreadable for another reason than "not there"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        boxes.boxes.clear();
        DeleteFileA((inst + "\\a.dat").c_str());
        UseArchive({"a.dat", longName});
        Section("UpdateFile00=a.dat\r\n" + c.line + "\r\nUpdateFile02=a2.dat\r\n");
        JobRun run = Run();
        ExpectRolledBack(run, {WriteFailure});
        EXPECT_FALSE(PathExists(inst + "\\a.dat"));
        EXPECT_FALSE(PathExists(inst + "\\a2.dat"));
    }
}

// The updater runs elevated: neither an item nor DataFolder may lead it out of the game's folders or to a device.
TEST_F(UpdateJobTest, PathsThatLeaveTheGameAreNeverWritten)
{
    struct {
        const char* dataFolder;
        const char* line;
    } cases[] = {
        {"", "UpdateFile00=..\\outside.dat"},
        {"", "UpdateFile00=u,sub\\..\\..\\outside.dat"},
        {"", "UpdateFile00=d,..\\outside.dat"},
        {"..", "UpdateFile00=outside.dat"},
        {"..\\..", "UpdateFile00=d,outside.dat"},
        {"", "UpdateFile00=nul.dat"},
        {"", "UpdateFile00=outside.dat:stream"},
    };
    UseArchive({"outside.dat", "nul.dat", "outside.dat:stream"});
    std::string parent = folder.path.substr(0, folder.path.find_last_of('\\'));
    DeleteFileA((parent + "\\outside.dat").c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dataFolder) + " / " + c.line);
        boxes.boxes.clear();
        lstrcpyA(DataFolder, c.dataFolder);
        Section(std::string(c.line) + "\r\n");
        JobRun run = Run();
        ExpectRolledBack(run, {WriteFailure});
        EXPECT_FALSE(PathExists(folder / "outside.dat"));
        EXPECT_FALSE(PathExists(parent + "\\outside.dat"));
        EXPECT_FALSE(PathExists(inst + "\\outside.dat"));
    }
    DataFolder[0] = '\0';
}

// ---- Copies from the CD-ROM drives D: and E:, each backed by a folder.

class CopyJobTest : public UpdateJobTest {
protected:
    CdDrives* drives = nullptr;

    void SetUp() override
    {
        UpdateJobTest::SetUp();
        std::string why;
        if (!CdDrives::Available(&why))
            GTEST_SKIP() << why;
        drives = new CdDrives;
        lstrcpyA(SetupSettings.DiskCheckFile[1], "DISK1.CHK");
        lstrcpyA(SetupSettings.DiskCheckFile[2], "ディスク2.CHK");
        UseArchive({"a.dat"});
    }

    void TearDown() override
    {
        delete drives;
        UpdateJobTest::TearDown();
    }

    static bool PutOnDisc(const std::string& path, const std::string& content, bool readOnly = false)
    {
        // Create the folders on the way.
        for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
            CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        return WriteBytes(path, content) && (!readOnly || MakeReadOnly(path));
    }
};

TEST_F(CopyJobTest, FileCopyIntoANewSubFolderReplacingNothingElse)
{
    ASSERT_TRUE(PutOnDisc("E:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("E:\\sub\\表示\\file.txt", "disc file", true));
    ASSERT_TRUE(PutOnDisc("E:\\over.txt", "disc over", true));
    ASSERT_TRUE(WriteBytes(inst + "\\over.txt", "installed"));
    ASSERT_TRUE(MakeReadOnly(inst + "\\over.txt"));
    Section("UpdateFile00=a.dat\r\nCopyFile00=1:sub\\表示\\file.txt\r\nCopyFile01=1,1:over.txt\r\n");
    JobRun run = Run();
    ExpectFinished(run);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(ReadBytes(inst + "\\a.dat"), "new-a.dat") << "update items come first";
    EXPECT_EQ(ReadBytes(inst + "\\sub\\表示\\file.txt"), "disc file");
    EXPECT_FALSE(IsReadOnly(inst + "\\sub\\表示\\file.txt"));
    EXPECT_EQ(ReadBytes(inst + "\\over.txt"), "disc over");
    EXPECT_FALSE(IsReadOnly(inst + "\\over.txt"));
}

TEST_F(CopyJobTest, FolderCopiesLandInTheInstallationFolderWritable)
{
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\tree\\a.txt", "tree a", true));
    ASSERT_TRUE(PutOnDisc("D:\\tree\\表示\\b.txt", "tree b", true));
    ASSERT_TRUE(PutOnDisc("D:\\wild\\x.dat", "wild x", true));
    ASSERT_TRUE(PutOnDisc("D:\\wild\\y.dat", "wild y", true));
    ASSERT_TRUE(PutOnDisc("D:\\wild\\z.txt", "wild z", true));
    Section("CopyFile00=1:tree\r\nCopyFile01=1:wild\\*.dat\r\n");
    JobRun run = Run();
    ExpectFinished(run);
    EXPECT_TRUE(boxes.boxes.empty());
    struct {
        const char* path;
        const char* content;
    } copied[] = {{"tree\\a.txt", "tree a"}, {"tree\\表示\\b.txt", "tree b"}, {"x.dat", "wild x"}, {"y.dat", "wild y"}};
    for (const auto& c : copied) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ReadBytes(inst + "\\" + c.path), c.content);
        EXPECT_FALSE(IsReadOnly(inst + "\\" + c.path));
    }
    EXPECT_FALSE(PathExists(inst + "\\z.txt"));
}

TEST_F(CopyJobTest, DiscPromptUntilTheDiscIsThereOrTheUserGivesUp)
{
    struct {
        std::vector<int> answers;  // the last OK comes after the disc was inserted
        bool copied;
    } cases[] = {{{IDOK}, true}, {{IDOK, IDOK}, true}, {{IDCANCEL}, false}, {{IDOK, IDCANCEL}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers.size() * 10 + c.answers.back());
        delete drives;
        drives = new CdDrives;
        RemoveTree(inst + "\\x.txt");
        boxes.boxes.clear();
        std::vector<std::string> infoAtPrompt;
        size_t asked = 0;
        boxes.onBox = [&](const CapturedBox& box) {
            if (box.text == LeftAsItWas)
                return IDOK;
            infoAtPrompt.push_back(ControlText(WizardWindow, 1001));
            int answer = c.answers[asked++];
            if (asked == c.answers.size() && answer == IDOK) {
                PutOnDisc("E:\\ディスク2.CHK", "");
                PutOnDisc("E:\\x.txt", "disc two");
            }
            return answer;
        };
        Section("CopyFile00=2:x.txt\r\n");
        JobRun run = Run();
        boxes.onBox = nullptr;

        // Declining the disc ends the job with the game as it was, which the last box says.
        ASSERT_EQ(boxes.boxes.size(), c.answers.size() + (c.copied ? 0 : 1));
        if (!c.copied) {
            EXPECT_EQ(boxes.boxes.back().text, LeftAsItWas);
            boxes.boxes.pop_back();
        }
        for (const CapturedBox& box : boxes.boxes) {
            EXPECT_EQ(box.text, "ＣＤ－ＲＯＭドライブに「表示ゲーム」ディスク 2 を入れて下さい");
            EXPECT_EQ(box.caption, "表示ゲーム アップデート");
            EXPECT_EQ(box.style, (UINT)MB_OKCANCEL) << "a question: no icon";
            EXPECT_EQ(box.owner, run.dialog);
        }
        for (const std::string& info : infoAtPrompt)
            EXPECT_EQ(info, "アップデートを実行しています");
        if (c.copied) {
            ExpectFinished(run);
            EXPECT_EQ(ReadBytes(inst + "\\x.txt"), "disc two");
        } else {
            EXPECT_EQ(run.result, -1);
            EXPECT_FALSE(run.jobReturned);
            EXPECT_FALSE(PathExists(inst + "\\x.txt"));
        }
    }
}

TEST_F(CopyJobTest, DiskZeroUsesTheDriveFoundLast)
{
    ASSERT_TRUE(PutOnDisc("D:\\b.txt", "b on D"));
    ASSERT_TRUE(PutOnDisc("E:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("E:\\a.txt", "a on E"));
    ASSERT_TRUE(PutOnDisc("E:\\b.txt", "b on E"));
    ASSERT_TRUE(PutOnDisc("E:\\c.txt", "c on E"));
    Section("CopyFile00=1:a.txt\r\nCopyFile01=b.txt\r\nCopyFile02=1:c.txt\r\n");
    JobRun run = Run();
    ExpectFinished(run);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(ReadBytes(inst + "\\a.txt"), "a on E");
    EXPECT_EQ(ReadBytes(inst + "\\b.txt"), "b on E");
    EXPECT_EQ(ReadBytes(inst + "\\c.txt"), "c on E");
}

TEST_F(CopyJobTest, EmptyCheckFileNameTakesTheFirstDriveWithADisc)
{
    for (bool ejectD : {false, true}) {
        SCOPED_TRACE(ejectD);
        delete drives;
        drives = new CdDrives;
        RemoveTree(inst + "\\x.txt");
        ASSERT_TRUE(PutOnDisc("D:\\x.txt", "x on D"));
        ASSERT_TRUE(PutOnDisc("E:\\x.txt", "x on E"));
        if (ejectD)
            drives->Eject('D');
        Section("CopyFile00=3:x.txt\r\n");
        JobRun run = Run();
        ExpectFinished(run);
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_EQ(ReadBytes(inst + "\\x.txt"), ejectD ? "x on E" : "x on D");
    }
}

TEST_F(CopyJobTest, RefusedAndFailedCopiesShowTheCopyFailureBox)
{
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\there.txt", "there"));
    ASSERT_TRUE(PutOnDisc("D:\\outside.txt", "outside"));
    // A file whose path fits on the disc but not below the installation folder.
    std::string deep = std::string(80, 'p') + "\\" + std::string(80, 'q') + "\\" + std::string(80, 'r') + ".txt";
    ASSERT_TRUE(PutOnDisc("D:\\" + deep, "deep"));
    std::string longValue = "1:" + std::string(300, 'v');
    // Without a drive a path would be taken relative to the current folder.
    ASSERT_TRUE(WriteBytes(folder / "there.txt", "from the current folder"));
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path.c_str()));
    struct {
        std::string value;
        std::string shownPath;
    } cases[] = {
        {"1:missing.txt", "missing.txt"},  // a source the disc lacks
        {"1:missing\\*.txt", "missing\\*.txt"},
        {"there.txt", "there.txt"},    // disk 0 before any disc was searched for
        {"/:there.txt", "there.txt"},  // disk numbers outside 0-9
        {"ｱ:there.txt", "there.txt"},  // a single-byte katakana is no digit either
        {"1:", ""},                    // the whole disc
        {"1:\\", "\\"},
        {"1:.", "."},
        {"1:" + deep, deep},
        {longValue, std::string(longValue.c_str() + 2, 257)},
        {"1:..\\outside.txt", "..\\outside.txt"},  // would land beside the installation folder
        {"1:there.txt\\..", "there.txt\\.."},       // the whole disc again
        {"1:.\\.", ".\\."},
        {"1:aux", "aux"},
    };
    // Every one is found while the job plans its work, before anything is copied.
    std::vector<std::string> infoAtBoxes;
    boxes.onBox = [&](const CapturedBox&) {
        infoAtBoxes.push_back(ControlText(WizardWindow, 1001));
        return IDOK;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 40));
        boxes.boxes.clear();
        infoAtBoxes.clear();
        Section("UpdateFile00=a.dat\r\nCopyFile00=" + c.value + "\r\nCopyFile01=1:there.txt\r\n");
        TreeSnapshot before = Snapshot();
        JobRun run = Run();
        ExpectRolledBack(run, {CopyFailure(c.shownPath)});
        ASSERT_FALSE(infoAtBoxes.empty());
        EXPECT_EQ(infoAtBoxes[0], "アップデートを実行しています");
        EXPECT_EQ(TreeDifferences(before, Snapshot()), "") << "not even the update item before the copies";
        EXPECT_FALSE(PathExists(folder / "outside.txt")) << "nothing outside the installation";
    }
}

TEST_F(CopyJobTest, CheckFileNameThatCannotFormAPathRefusesTheItem)
{
    ASSERT_TRUE(PutOnDisc("D:\\x.txt", "x"));
    lstrcpyA(SetupSettings.DiskCheckFile[4], std::string(256, 'c').c_str());
    Section("CopyFile00=4:x.txt\r\n");
    JobRun run = Run();
    ExpectRolledBack(run, {CopyFailure("x.txt")});  // no disc prompt
    EXPECT_FALSE(PathExists(inst + "\\x.txt"));
}

// The copy is weighed with the whole job: the shortage page, and nothing touched.
TEST_F(CopyJobTest, FileCopyTooLargeForTheInstallationDriveTouchesNothing)
{
    std::string why;
    if (!InstallOnSmallDisk(&why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(WriteBytes(inst + "\\big.bin", "installed"));
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\big.bin", std::string(2 * 1024 * 1024, 'b')));
    unsigned long long free = FreeBytes("F:\\");
    Section("CopyFile00=1:big.bin\r\n");
    TreeSnapshot before = SnapshotTree(inst);
    JobRun run = Run();
    ASSERT_TRUE(run.jobReturned);
    // The staged copy beside the installed file, and one cluster of the small disk for the journal.
    EXPECT_EQ(run.after.info, "ディスク容量が足りません。\rF: ドライブに " +
                                  std::to_string(2 * 1024 * 1024 + 4096 - free) + " バイトの空き容量が必要です");
    EXPECT_TRUE(run.after.backEnabled);
    EXPECT_FALSE(run.after.nextEnabled);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(TreeDifferences(before, SnapshotTree(inst)), "");
}

}  // namespace

namespace {

// However the folder is named on the disc, what lands in the installation is writable: the read-only marks are
// cleared on the installation's side. A closing backslash names the folder's contents, as the shell's copy took it.
TEST_F(CopyJobTest, FolderCopiesAreWritableWhateverTheSourceForm)
{
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\cdfolder\\a.txt", "folder a", true));
    ASSERT_TRUE(PutOnDisc("D:\\cdfolder\\深い\\b.txt", "folder b", true));
    struct {
        const char* source;
        const char* landsIn;  // below the installation folder
    } cases[] = {{"cdfolder\\", ""}, {"cdfolder", "cdfolder\\"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        RemoveTree(inst);
        CreateDirectoryA(inst.c_str(), nullptr);
        boxes.boxes.clear();
        Section(std::string("CopyFile00=1:") + c.source + "\r\n");
        JobRun run = Run();
        ExpectFinished(run);
        EXPECT_TRUE(boxes.boxes.empty());
        for (const char* copied : {"a.txt", "深い\\b.txt"}) {
            std::string path = inst + "\\" + c.landsIn + copied;
            SCOPED_TRACE(path);
            EXPECT_TRUE(PathExists(path));
            EXPECT_FALSE(IsReadOnly(path));
        }
    }
}

}  // namespace

namespace {

// Another program holds one target open (as a running game holds its files): the commit cannot move it aside,
// and every file already moved goes back, whichever item it is.
TEST_F(UpdateJobTest, ATargetInUseAtAnyItemLeavesEverythingAsItWas)
{
    const char* names[] = {"a.dat", "b.dat", "c.dat"};
    for (int position = 0; position < 3; ++position) {
        SCOPED_TRACE(position);
        RemoveTree(inst);
        CreateDirectoryA(inst.c_str(), nullptr);
        for (const char* name : names) {
            ASSERT_TRUE(WriteBytes(inst + "\\" + name, std::string("old-") + name));
            ASSERT_TRUE(SetLastWriteTime(inst + "\\" + name, EntryTime - Second));
        }
        ASSERT_TRUE(MakeReadOnly(inst + "\\b.dat"));
        ASSERT_TRUE(SetLastWriteTime(inst, EntryTime - 5 * Second));
        UseArchive({"a.dat", "b.dat", "c.dat", "new.dat"});
        Section("UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=c.dat\r\nUpdateFile03=new.dat\r\n");
        TreeSnapshot before = Snapshot();
        HANDLE inUse = CreateFileA((inst + "\\" + names[position]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
        boxes.boxes.clear();
        int cancelAtFailure = -1;
        boxes.onBox = [&](const CapturedBox& box) {
            if (box.text == WriteFailure)
                cancelAtFailure = IsWindowEnabled(GetDlgItem(WizardWindow, WizardCancelButton));
            return IDOK;
        };
        JobRun run = Run();
        boxes.onBox = nullptr;
        CloseHandle(inUse);
        ExpectRolledBack(run, {WriteFailure});
        EXPECT_EQ(cancelAtFailure, 0) << "the commit had begun: Cancel is off";
        EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
    }
}

// Large enough that the job is still staging when the player acts on it.
void UseLargeArchive()
{
    std::vector<FixtureEntry> entries;
    for (char c : {'a', 'b', 'c'})
        entries.push_back(FixtureEntry{std::string(1, c) + ".dat", std::string(16 << 20, c)});
    UseArchiveEntries(entries);
}

// Cancel while the job runs: the job holds still while the player is asked (wherever it is: planning or staging);
// OK puts everything back, Cancel lets the job go on to its end. (That files were already staged when the player
// was asked is shown by the whole run, which clicks once the progress bar moves.)
TEST_F(UpdateJobTest, CancelWhileTheJobRunsAsksAndRollsBackOnOk)
{
    enum Trigger { Button, CloseBox, Escape };
    struct {
        Trigger trigger;
        int answer;
    } cases[] = {{Button, IDOK}, {CloseBox, IDOK}, {Escape, IDOK}, {Button, IDCANCEL}};
    for (const auto& c : cases) {
        int answer = c.answer;
        SCOPED_TRACE(std::to_string(c.trigger) + " answered " + std::to_string(answer));
        RemoveTree(inst);
        CreateDirectoryA(inst.c_str(), nullptr);
        ASSERT_TRUE(WriteBytes(inst + "\\b.dat", "old-b.dat"));
        ASSERT_TRUE(SetLastWriteTime(inst, EntryTime - 5 * Second));
        UseLargeArchive();
        Section("UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=c.dat\r\n");
        TreeSnapshot before = Snapshot();
        boxes.boxes.clear();
        bool clicked = false;
        uint64_t doneAtQuestion = 0, doneAfterWaiting = 1;
        WatchWhileBusy([&](HWND dialog) {
            if (clicked)
                return;
            clicked = true;
            HWND focus = GetFocus() ? GetFocus() : dialog;
            if (c.trigger == Button)
                Click(dialog, WizardCancelButton);
            else if (c.trigger == CloseBox)
                PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            else
                PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        });
        boxes.onBox = [&](const CapturedBox& box) {
            if (box.text != "アップデートを中止しますか？")
                return IDOK;
            uint64_t total;
            char file[MAX_PATH];
            ReadJobProgress(&doneAtQuestion, &total, file, sizeof file);
            Sleep(300);
            ReadJobProgress(&doneAfterWaiting, &total, file, sizeof file);
            return answer;
        };
        JobRun run = Run();
        boxes.onBox = nullptr;
        ASSERT_TRUE(clicked);
        ASSERT_GE(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, "アップデートを中止しますか？");
        EXPECT_EQ(boxes.boxes[0].caption, "表示ゲーム アップデート");
        EXPECT_EQ(boxes.boxes[0].style, (UINT)MB_OKCANCEL) << "a question: no icon";
        EXPECT_EQ(boxes.boxes[0].owner, run.dialog);
        EXPECT_EQ(doneAfterWaiting, doneAtQuestion) << "the job went on while the player was asked";
        if (answer == IDOK) {
            boxes.boxes.erase(boxes.boxes.begin());
            ExpectRolledBack(run, {});
            EXPECT_EQ(TreeDifferences(before, Snapshot()), "");
        } else {
            ExpectFinished(run);
            EXPECT_EQ(boxes.boxes.size(), 1u);
            EXPECT_EQ(ReadBytes(inst + "\\b.dat"), std::string(16 << 20, 'b'));
            EXPECT_EQ(StagedFiles(inst), 0u);
        }
    }
}

// The progress bar and the file's name show only while the job runs, move only forward and end full; Next and
// Back clicked meanwhile start nothing. Two discs share one drive, so the job asks for disc 1 again while it
// stages: a fixed point in the middle of the job.
TEST_F(CopyJobTest, ProgressShowsWhileTheJobRuns)
{
    UseArchive({"a.dat", "b.dat", "c.dat"});
    lstrcpyA(SetupSettings.DiskCheckFile[2], "DISK2.CHK");
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\movie.bin", std::string(300000, 'm')));
    Section("UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=c.dat\r\n"
            "CopyFile00=1:movie.bin\r\nCopyFile01=2:extra.txt\r\n");
    // Planning asks for disc 2 (disc 1 goes out); staging copies from disc 2 first, then asks for disc 1.
    int prompts = 0;
    uint64_t doneAtPrompt = 0, totalAtPrompt = 0;
    char fileAtPrompt[MAX_PATH] = "";
    boxes.onBox = [&](const CapturedBox& box) {
        ++prompts;
        bool wantsOne = box.text.find("ディスク 1 ") != std::string::npos;
        if (wantsOne)
            ReadJobProgress(&doneAtPrompt, &totalAtPrompt, fileAtPrompt, sizeof fileAtPrompt);
        DeleteFileA(wantsOne ? "D:\\DISK2.CHK" : "D:\\DISK1.CHK");
        PutOnDisc(wantsOne ? "D:\\DISK1.CHK" : "D:\\DISK2.CHK", "");
        PutOnDisc("D:\\extra.txt", "extra");
        return IDOK;
    };
    bool shownOnConfirmation = true;
    std::vector<LRESULT> positions;
    std::vector<std::string> names;
    LRESULT range = 0;
    WatchWhileBusy([&](HWND dialog) {
        HWND bar = GetDlgItem(dialog, WizardProgressBar);
        if (!(GetWindowLongA(bar, GWL_STYLE) & WS_VISIBLE))
            return;
        range = SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
        positions.push_back(SendMessageA(bar, PBM_GETPOS, 0, 0));
        names.push_back(ControlText(dialog, WizardFileLabel));
        Click(dialog, WizardNextButton);
        Click(dialog, WizardBackButton);
    });
    auto visible = [](HWND dialog, int id) { return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0; };
    LRESULT finalPosition = -1;
    std::string finalName = "?";
    JobRun run{};
    run.result = RunWizard(WizardTemplatePlain, {
                                                    [&](HWND dialog) {
                                                        run.dialog = dialog;
                                                        Click(dialog, WizardNextButton);
                                                    },
                                                    [&](HWND dialog) {
                                                        shownOnConfirmation = visible(dialog, WizardProgressBar) ||
                                                                              visible(dialog, WizardFileLabel);
                                                        Click(dialog, WizardNextButton);
                                                    },
                                                    [&](HWND dialog) {
                                                        run.jobReturned = true;
                                                        run.after = ReadWizardState(dialog);
                                                        finalPosition = SendDlgItemMessageA(
                                                            dialog, WizardProgressBar, PBM_GETPOS, 0, 0);
                                                        finalName = ControlText(dialog, WizardFileLabel);
                                                        Click(dialog, WizardNextButton);
                                                    },
                                                });
    boxes.onBox = nullptr;
    EXPECT_EQ(run.result, WizardFinished);
    EXPECT_EQ(run.after.step, 2) << "the clicks during the job moved nothing";
    EXPECT_EQ(run.after.info, "アップデートは完了しました");
    ASSERT_EQ(prompts, 2);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].text, "ＣＤ－ＲＯＭドライブに「表示ゲーム」ディスク 2 を入れて下さい");
    EXPECT_EQ(boxes.boxes[1].text, "ＣＤ－ＲＯＭドライブに「表示ゲーム」ディスク 1 を入れて下さい");
    EXPECT_FALSE(shownOnConfirmation);
    // At the second prompt the entries and disc 2's file were staged, disc 1's not yet: the middle of the job.
    EXPECT_EQ(totalAtPrompt, 3 * 9 + 300000 + 5u);
    EXPECT_EQ(doneAtPrompt, 3 * 9 + 5u);
    EXPECT_STREQ(fileAtPrompt, "extra.txt");
    // What the watcher saw in between, how much depends on the machine's pace; the whole run shows the bar move.
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    for (const std::string& name : names)
        EXPECT_TRUE(name.empty() || name == "a.dat" || name == "b.dat" || name == "c.dat" || name == "movie.bin" ||
                    name == "extra.txt")
            << name;
    EXPECT_GT(range, 0);
    EXPECT_EQ(finalPosition, range);
    EXPECT_EQ(finalName, "");
}

// The disk fills up after the job was weighed (another program writes to it while the player swaps discs): the
// write fails, and nothing the job staged or created stays.
TEST_F(CopyJobTest, DiskFillingUpWhileStagingLeavesEverythingAsItWas)
{
    std::string why;
    if (!InstallOnSmallDisk(&why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(WriteBytes(inst + "\\a.dat", "old-a.dat"));
    ASSERT_TRUE(PutOnDisc("D:\\DISK1.CHK", ""));
    ASSERT_TRUE(PutOnDisc("D:\\movie\\big.bin", std::string(300000, 'm')));
    lstrcpyA(SetupSettings.DiskCheckFile[2], "DISK2.CHK");
    Section("UpdateFile00=a.dat\r\nCopyFile00=1:movie\r\nCopyFile01=2:extra.txt\r\n");
    TreeSnapshot before = SnapshotTree(inst);
    int prompts = 0;
    boxes.onBox = [&](const CapturedBox& box) {
        if (box.text.find("を入れて下さい") == std::string::npos)
            return IDOK;
        if (++prompts == 1) {  // planning: disc 2 goes in where disc 1 was
            DeleteFileA("D:\\DISK1.CHK");
            PutOnDisc("D:\\DISK2.CHK", "");
            PutOnDisc("D:\\extra.txt", "extra");
        } else {  // staging: disc 1 back, and the disk is full by now
            DeleteFileA("D:\\DISK2.CHK");
            PutOnDisc("D:\\DISK1.CHK", "");
            WriteBytes("F:\\filler.bin", std::string((size_t)FreeBytes("F:\\") - 100000, 'f'));
        }
        return IDOK;
    };
    JobRun run = Run();
    boxes.onBox = nullptr;
    DeleteFileA("F:\\filler.bin");
    ASSERT_EQ(prompts, 2);
    std::vector<CapturedBox> prompted(boxes.boxes.begin(), boxes.boxes.begin() + 2);
    EXPECT_EQ(prompted[0].text, "ＣＤ－ＲＯＭドライブに「表示ゲーム」ディスク 2 を入れて下さい");
    EXPECT_EQ(prompted[1].text, "ＣＤ－ＲＯＭドライブに「表示ゲーム」ディスク 1 を入れて下さい");
    boxes.boxes.erase(boxes.boxes.begin(), boxes.boxes.begin() + 2);
    ExpectRolledBack(run, {CopyFailure("movie")});
    EXPECT_EQ(TreeDifferences(before, SnapshotTree(inst)), "");
    ClearSmallDisk();
}

}  // namespace
