// Whole runs of updates built with `fa2.exe build --from`: a changed file travels as a delta over the installed
// one. The right installed version is updated to the byte; a missing or different one stops the job before
// anything moves, unless the whole file rides along (--fallback-whole); a Cancel while the delta is staged puts
// everything back; a run killed while it commits is put back by the next start.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "driver.h"
#include "run_checks.h"

namespace {

const char WrongBase[] =
    "「pack.dat」が、このアップデートの対象のバージョンのファイルではありません（ファイルがないか、内容が違います）。"
    "このアップデートは、発売元がアップデートを作成したときのバージョンのゲーム用です。ゲームのファイルは何も"
    "変更していません";
const char WriteFailure[] = "ファイルの書き込みに失敗しました";
const char RolledBackAtStart[] = "前回のアップデートは途中で終わっていたため、ゲームのファイルを元に戻しました";

// A pack file of numbered records that compress poorly, so only a delta makes the update small.
std::string Pack(int records, unsigned seed)
{
    std::string pack;
    unsigned x = seed;
    for (int r = 0; r < records; ++r) {
        pack += "REC" + std::to_string(r) + ":";
        for (int i = 0; i < 200; ++i) {
            x = x * 1103515245u + 12345u;
            pack += (char)(x >> 16);
        }
    }
    return pack;
}

// The next release of a pack: two records replaced, one inserted in the middle.
std::string NextPack(const std::string& old)
{
    std::string next = old;
    next.replace(next.size() / 5, 150, Pack(1, 7).substr(0, 150));
    next.insert(next.size() / 2, Pack(2, 11));
    next.replace(next.size() * 4 / 5, 100, std::string(100, 'N'));
    return next;
}

// About 64 MB: staging it over the installed file takes long enough to Cancel in the middle.
const int BigPackRecords = 320000;

enum Installed { TheOldRelease, TheSecondRelease, AnotherVersion, NoFile };

// Another old release of the pack: one record replaced near its start.
std::string SecondPack(const std::string& old)
{
    std::string second = old;
    second.replace(second.size() / 10, 200, Pack(1, 13).substr(0, 200));
    return second;
}

// The updater started and walked to its confirmation page.
HWND ToConfirmation(UpdaterRun& run, const UpdateScenario& s, const std::string& tempDir)
{
    if (!run.Start(s.exePath, tempDir))
        return nullptr;
    HWND wizard = run.WaitForWizard();
    if (!wizard || !Click(wizard, Next) || !ShowsText(wizard, "アップデートを実行します"))
        return nullptr;
    return wizard;
}

struct DeltaGame {
    UpdateScenario s;
    std::string oldPack, newPack;
    std::string secondPack;  // when set, the update is built from this release too

    explicit DeltaGame(int records = 3000) : oldPack(Pack(records, 1)), newPack(NextPack(oldPack)) {}

    ::testing::AssertionResult Prepare(Installed installed, bool fallbackWhole)
    {
        s.update.keys.clear();
        s.update.Set("UpdateFile00", "pack.dat");
        s.payload = {{"pack.dat", newPack}};
        std::string old = s.scratch / "old";
        if (!WriteFileMakingFolders(old + "\\pack.dat", oldPack))
            return ::testing::AssertionFailure() << "cannot write the old release";
        s.buildOptions = "--from \"" + old + "\"" + (fallbackWhole ? " --fallback-whole" : "");
        if (!secondPack.empty()) {
            std::string second = s.scratch / "second";
            if (!WriteFileMakingFolders(second + "\\pack.dat", secondPack))
                return ::testing::AssertionFailure() << "cannot write the second old release";
            s.buildOptions += " --from \"" + second + "\"";
        }
        ::testing::AssertionResult prepared = ::Prepare(s);
        if (!prepared)
            return prepared;
        std::string target = s.instPath + "\\pack.dat";
        std::string bytes = oldPack;
        bytes[bytes.size() / 3] ^= 1;
        if (installed == TheOldRelease && !WriteBytes(target, oldPack))
            return ::testing::AssertionFailure() << "cannot install " << target;
        if (installed == TheSecondRelease && !WriteBytes(target, secondPack))
            return ::testing::AssertionFailure() << "cannot install " << target;
        if (installed == AnotherVersion && !WriteBytes(target, bytes))
            return ::testing::AssertionFailure() << "cannot install " << target;
        return ::testing::AssertionSuccess();
    }

    // What the built updater carries for pack.dat: a small delta per old release, and whether a whole one follows.
    ::testing::AssertionResult CarriesDelta(bool withWhole) const
    {
        std::string payload;
        if (!ReadPayload(s.exePath, &payload))
            return ::testing::AssertionFailure() << "no payload in " << s.exePath;
        ArchiveTable* table = OpenArchive(payload.data(), (uint32_t)payload.size());
        const ArchiveEntry* entry = nullptr;
        uint64_t offset = 0;
        size_t deltas = 0;
        bool found = table && FindArchiveEntry(table, "pack.dat", &entry, &offset);
        const ArchiveEntry* end = found ? ArchiveTableEntries(table) + table->header.entryCount : nullptr;
        for (; found && entry + deltas < end && EntryMethodOf(entry + deltas) == EntryMethodDelta &&
               entry[deltas].storedSize < newPack.size() / 10;
             deltas++) {
        }
        bool whole = found && deltas && entry + deltas < end && EntryMethodOf(entry + deltas) != EntryMethodDelta &&
                     lstrcmpA(entry[deltas].name, "pack.dat") == 0;
        if (table)
            GlobalFree(table);
        size_t releases = secondPack.empty() ? 1 : 2;
        if (deltas != releases)
            return ::testing::AssertionFailure() << "pack.dat has " << deltas << " small delta entries, not "
                                                 << releases;
        if (whole != withWhole)
            return ::testing::AssertionFailure() << "the whole file " << (whole ? "rides along" : "is missing");
        return ::testing::AssertionSuccess();
    }
};

// Runs the prepared game's updater to its end: the new release written with no leftover, or (`updated` false)
// stopped at planning with the installation exactly as it was.
void ExpectUpdatedOrStopped(DeltaGame& game, bool updated)
{
    TreeSnapshot before = SnapshotInstallation(game.s.instPath, game.s.dataPath);
    UpdaterRun run;
    HWND wizard = ToConfirmation(run, game.s, game.s.tempDir);
    ASSERT_TRUE(wizard) << run.problem;
    std::string caption = game.s.DefaultCaption();
    if (updated) {
        ASSERT_TRUE(RunJobToEnd(wizard));
        ASSERT_TRUE(Click(wizard, Next));
        EXPECT_TRUE(EndsWith(run, 1));
        EXPECT_TRUE(ReadBytes(game.s.instPath + "\\pack.dat") == game.newPack) << "not the new release";
        EXPECT_TRUE(FilesMatching(game.s.instPath, "~*").empty());
        return;
    }
    ASSERT_TRUE(Click(wizard, Next));
    EXPECT_TRUE(SeeBox(run, ErrorBox(WrongBase, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
    EXPECT_EQ(TreeDifferences(before, SnapshotInstallation(game.s.instPath, game.s.dataPath)), "");
}

TEST(WholeRunDelta, TheVersionItWasMadeForIsUpdatedAnyOtherStopsBeforeAnythingMoves)
{
    struct {
        const char* name;
        Installed installed;
        bool fallbackWhole;
        bool updated;  // else stopped, the game as it was
    } cases[] = {
        {"the old release", TheOldRelease, false, true},
        {"another version", AnotherVersion, false, false},
        {"no installed file", NoFile, false, false},
        {"another version, whole file along", AnotherVersion, true, true},
        {"no installed file, whole file along", NoFile, true, true},
        {"the old release, whole file along", TheOldRelease, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeltaGame game;
        ASSERT_TRUE(game.Prepare(c.installed, c.fallbackWhole));
        ASSERT_TRUE(game.CarriesDelta(c.fallbackWhole));
        ExpectUpdatedOrStopped(game, c.updated);
    }
}

// One updater built from two old releases updates an installation of either; a third version stops before
// anything moves, unless the whole file rides along.
TEST(WholeRunDelta, OneUpdaterForTwoOldReleases)
{
    struct {
        const char* name;
        Installed installed;
        bool fallbackWhole;
        bool updated;  // else stopped, the game as it was
    } cases[] = {
        {"the first release", TheOldRelease, false, true},
        {"the second release", TheSecondRelease, false, true},
        {"a third version", AnotherVersion, false, false},
        {"a third version, whole file along", AnotherVersion, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeltaGame game;
        game.secondPack = SecondPack(game.oldPack);
        ASSERT_TRUE(game.Prepare(c.installed, c.fallbackWhole));
        ASSERT_TRUE(game.CarriesDelta(c.fallbackWhole));
        ExpectUpdatedOrStopped(game, c.updated);
    }
}

// The job's staged files in `folder`: its journal left out.
std::vector<std::string> StagedFiles(const std::string& folder)
{
    std::vector<std::string> staged;
    for (const std::string& name : FilesMatching(folder, "~*"))
        if (lstrcmpiA(name.c_str(), "~UPDATE.JNL") != 0)
            staged.push_back(name);
    return staged;
}

unsigned long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Cancel confirmed while the delta is being decoded over the installed file: the old release stays, byte for
// byte, no staged file is left, and the run says so as every Cancel does. The pack is large enough that staging it
// outlasts the bar's first move; the job holds still while the player is asked, so the question is checked to
// come while the staged file is still short of the new release.
TEST(WholeRunDelta, CancelWhileTheDeltaIsStagedLeavesTheOldRelease)
{
    DeltaGame game(BigPackRecords);
    ASSERT_TRUE(game.Prepare(TheOldRelease, false));
    ASSERT_TRUE(game.CarriesDelta(false));
    std::string target = game.s.instPath + "\\pack.dat";
    Sleep(20);
    TreeSnapshot before = SnapshotInstallation(game.s.instPath, game.s.dataPath);

    UpdaterRun run;
    HWND wizard = ToConfirmation(run, game.s, game.s.tempDir);
    ASSERT_TRUE(wizard) << run.problem;
    ASSERT_TRUE(Click(wizard, Next));
    ASSERT_TRUE(ClickCancelOnceTheBarMoves(run, wizard));
    std::string caption = game.s.DefaultCaption();
    EXPECT_TRUE(SeeBox(run, ExpectedBox{CancelQuestion, caption, false, true, wizard}, IDOK, [&] {
        std::vector<std::string> staged = StagedFiles(game.s.instPath);
        ASSERT_EQ(staged.size(), 1u) << "the delta is not being staged";
        unsigned long long size = FileSize(game.s.instPath + "\\" + staged[0]);
        ::testing::Test::RecordProperty("StagedBytesAtTheQuestion", std::to_string(size));
        EXPECT_GT(size, 0u);
        EXPECT_LT(size, game.newPack.size()) << "the delta was staged whole before Cancel: make the pack larger";
    }));
    EXPECT_TRUE(SeeBox(run, NoticeBox(LeftAsItWas, caption, wizard), IDOK));
    EXPECT_TRUE(SeeBox(run, ErrorBox(Interrupted, caption), IDOK));
    EXPECT_TRUE(EndsWith(run, 0));
    EXPECT_TRUE(FilesMatching(game.s.instPath, "~*").empty());
    EXPECT_EQ(TreeDifferences(before, SnapshotInstallation(game.s.instPath, game.s.dataPath)), "");
    EXPECT_TRUE(ReadBytes(target) == game.oldPack) << "the installed pack is not the old release";
}

// The installed file held open by another program: the delta is staged from it (it can be read), the commit
// cannot move it; killed there, the next start puts everything back.
void KillWhileCommitting(Installed installed)
{
    DeltaGame game;
    if (installed == TheSecondRelease)
        game.secondPack = SecondPack(game.oldPack);
    ASSERT_TRUE(game.Prepare(installed, false));
    std::string installedPack = installed == TheOldRelease ? game.oldPack : game.secondPack;
    std::string target = game.s.instPath + "\\pack.dat";
    TreeSnapshot before = SnapshotInstallation(game.s.instPath, game.s.dataPath);
    HANDLE inUse = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
    {
        UpdaterRun run;
        HWND wizard = ToConfirmation(run, game.s, game.s.tempDir);
        ASSERT_TRUE(wizard) << run.problem;
        ASSERT_TRUE(Click(wizard, Next));
        SeenBox box;
        ASSERT_TRUE(run.WaitForBox(&box)) << run.problem;
        EXPECT_EQ(box.text, WriteFailure);
        EXPECT_FALSE(FilesMatching(game.s.instPath, "~*").empty()) << "nothing staged";
        run.Kill();
    }
    CloseHandle(inUse);

    UpdaterRun again;
    std::string temp = game.s.tempDir + "\\again";
    CreateDirectoryA(temp.c_str(), nullptr);
    ASSERT_TRUE(again.Start(game.s.exePath, temp));
    EXPECT_TRUE(SeeBox(again, NoticeBox(RolledBackAtStart, "UPDATE"), IDOK));
    HWND wizard = again.WaitForWizard();
    ASSERT_TRUE(wizard) << again.problem;
    EXPECT_TRUE(CancelIsReportedAsInterrupted(again, wizard, game.s.DefaultCaption()));
    EXPECT_EQ(TreeDifferences(before, SnapshotInstallation(game.s.instPath, game.s.dataPath)), "");
    EXPECT_TRUE(ReadBytes(target) == installedPack);
}

// So too for the second of two releases the update was built from.
TEST(WholeRunDelta, KilledWhileCommittingIsPutBackByTheNextStart)
{
    for (Installed installed : {TheOldRelease, TheSecondRelease}) {
        SCOPED_TRACE(installed == TheOldRelease ? "one release" : "the second of two releases");
        KillWhileCommitting(installed);
    }
}

}  // namespace
