#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "harness.h"
#include "run/startup.h"
#include "support/globals.h"
#include "support/updater_values.h"

namespace {


struct Entry {
    std::string name;
    std::string data;
    PackMode storage = PackStore;
    int scramble = 0;
};

std::vector<unsigned char> Archive(const std::vector<Entry>& entries)
{
    std::vector<WriterEntry> list;
    for (const Entry& e : entries)
        list.push_back(WriterEntry{e.name, std::vector<unsigned char>(e.data.begin(), e.data.end()),
                                   132000000000000000ULL, e.storage, e.scramble});
    std::vector<unsigned char> out;
    std::string error;
    WriteArchive(list, WriterOptions{PackCompressIfSmaller, EncodeFast}, &out, &error);
    return out;
}

const char* const RequiredSetup =
    "[SETUP]\r\nCompanyName=ソフト会社\r\nGameTitle=表示ゲーム\r\nGameClass=UpdTestGameClass\r\nGameDir=UpdTestGame\r\n";

// Temporary files this process could have left: UPD*.tmp in the temporary folder.
int TemporaryFilesLeft()
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(folder) + "UPD*.tmp").c_str(), &found);
    int count = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do
            ++count;
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return count;
}

struct RunResult {
    int exitCode;
    std::vector<CapturedBox> boxes;
    int filesLeft;  // UPD*.tmp files the run added to the temporary folder
};

RunResult RunWith(const std::vector<unsigned char>* payload)
{
    PayloadModule updater(payload ? payload->data() : nullptr, payload ? payload->size() : 0, payload != nullptr);
    EXPECT_NE(updater.module, (HMODULE) nullptr);
    MessageBoxCapture capture;
    RunResult result;
    int before = TemporaryFilesLeft();
    result.exitCode = RunUpdater(updater.module);
    result.boxes = capture.boxes;
    result.filesLeft = TemporaryFilesLeft() - before;
    return result;
}

TEST(StartUp, MissingPayloadStopsWithoutMessage)
{
    RunResult r = RunWith(nullptr);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.boxes.empty());
}

TEST(StartUp, DamagedArchiveShowsResourceReadError)
{
    // tableOffset far past the end of a 16-byte image.
    std::vector<unsigned char> damaged = {'F', 'A', '2', 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 3, 0, 0, 0};
    RunResult r = RunWith(&damaged);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, "RESOURCE READ ERROR");
    EXPECT_EQ(r.boxes[0].caption, "UPDATE");
    EXPECT_EQ(r.boxes[0].style, (UINT)(MB_ICONERROR | MB_OK));
    EXPECT_EQ(r.filesLeft, 0);
}

TEST(StartUp, ArchiveWithoutUpdateIni)
{
    std::vector<unsigned char> archive = Archive({{"OTHER.DAT", "x"}});
    RunResult r = RunWith(&archive);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, "Can't Find File in Resource !!");
    EXPECT_EQ(r.filesLeft, 0);
}

TEST(StartUp, RequiredKeysAreReportedInOrderAndTheTemporaryFileGoes)
{
    struct {
        const char* ini;
        const char* expected;
    } cases[] = {
        {"[SETUP]\r\nCompanyName=\r\nGameTitle=a\r\nGameClass=b\r\nGameDir=c\r\n",
         "SETUP : CompanyName キーが存在しません"},
        {"[SETUP]\r\nCompanyName=a\r\nGameTitle=b\r\nGameDir=c\r\n", "SETUP : GameClass キーが存在しません"},
        {"[SETUP]\r\nGameTitle=b\r\n", "SETUP : CompanyName キーが存在しません"},
        {"[OTHER]\r\nCompanyName=a\r\n", "SETUP : CompanyName キーが存在しません"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> archive = Archive({{"UPDATE.INI", c.ini, PackCompressAlways}});
        MissingKeySilent = 0;
        RunResult r = RunWith(&archive);
        EXPECT_EQ(r.exitCode, 0);
        ASSERT_EQ(r.boxes.size(), 1u) << c.expected;
        EXPECT_EQ(r.boxes[0].text, c.expected);
        EXPECT_EQ(r.boxes[0].caption, "INSTCMMN");
        EXPECT_EQ(r.boxes[0].owner, (HWND) nullptr);
        EXPECT_FALSE(PathExists(UpdateIniPath)) << UpdateIniPath;
        EXPECT_EQ(r.filesLeft, 0);
    }
}

TEST(StartUp, WordingFromModeTextUpdateOrInstall)
{
    struct {
        const char* line;
        int install;
    } cases[] = {{"ModeTextUpdateOrInstall=1\r\n", 1}, {"ModeTextUpdateOrInstall= 2\r\n", 1},
                 {"ModeTextUpdateOrInstall=0\r\n", 0}, {"ModeTextUpdateOrInstall=abc\r\n", 0}, {"", 0}};
    for (const auto& c : cases) {
        std::vector<unsigned char> archive = Archive({{"UPDATE.INI", std::string(RequiredSetup) + c.line}});
        RunResult r = RunWith(&archive);
        EXPECT_EQ(ModeTextInstall, c.install) << c.line;
        EXPECT_STREQ(ModeWord, c.install ? "インストール" : "アップデート") << c.line;
        EXPECT_EQ(MissingKeySilent, 1);
        // The run goes on to the registry, where no such game is installed.
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].text, "「表示ゲーム」がインストールされていません");
        EXPECT_EQ(r.boxes[0].caption, "UPDATE");
    }
}

TEST(StartUp, OptionalValuesAreRead)
{
    std::vector<unsigned char> archive = Archive(
        {{"UPDATE.INI", std::string(RequiredSetup) +
                            "GameTitleA=別名\r\nUpdaterVersion=1.02\r\nUpdaterTitle=更新\r\nDataFolder=save\r\n"
                            "UpdateMessage=一\\n二\r\n"}});
    RunWith(&archive);
    EXPECT_STREQ(CompanyName, "ソフト会社");
    EXPECT_STREQ(GameDir, "UpdTestGame");
    EXPECT_STREQ(GameTitleA, "別名");
    EXPECT_STREQ(UpdaterVersion, "1.02");
    EXPECT_STREQ(UpdaterTitle, "更新");
    EXPECT_STREQ(DataFolder, "save");
    EXPECT_STREQ(UpdateMessage, "一\\n二");
}

TEST(StartUp, StaleUpdateIniInTemporaryFolderIsNotUsed)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string stale = std::string(folder) + "UPDATE.INI";
    WriteBytes(stale, "[SETUP]\r\nCompanyName=stale\r\n");
    std::vector<unsigned char> archive = Archive({{"UPDATE.INI", RequiredSetup}});
    RunWith(&archive);
    EXPECT_STREQ(CompanyName, "ソフト会社");
    EXPECT_EQ(ReadBytes(stale), "[SETUP]\r\nCompanyName=stale\r\n") << "another copy's file must stay";
    DeleteFileA(stale.c_str());
}

// A killed run leaves its UPDATE.INI in the temporary folder. The next start removes what it can prove is such a
// leftover (its name, exactly this updater's UPDATE.INI, held by no running copy, one name only) and nothing else.
TEST(StartUp, LeftoversOfKilledRunsAreRemovedAndNothingElse)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string ini = std::string(RequiredSetup) + "GameTitleA=leftover test\r\n";
    std::vector<unsigned char> archive = Archive({{"UPDATE.INI", ini}});
    struct {
        const char* name;
        std::string bytes;
        bool goes;
    } cases[] = {
        {"UPDF001.tmp", ini, true},
        {"UPDF002.tmp", ini + "x", false},            // another updater's
        {"UPDF003.tmp", "other program", false},
        {"UPDF004.tmp", ini, false},                  // held open by a running copy
        {"UPDF005.tmp", ini, false},                  // a second name of another file
        {"UPDXF006.tmp", ini, false},                 // not a name the updater gives
    };
    std::string linked = std::string(folder) + "linked-elsewhere.bin";
    for (const auto& c : cases) {
        std::string path = std::string(folder) + c.name;
        if (std::string(c.name) == "UPDF005.tmp") {
            ASSERT_TRUE(WriteBytes(linked, c.bytes));
            ASSERT_TRUE(CreateHardLinkA(path.c_str(), linked.c_str(), nullptr));
        } else {
            ASSERT_TRUE(WriteBytes(path, c.bytes));
        }
    }
    HANDLE held = CreateFileA((std::string(folder) + "UPDF004.tmp").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunWith(&archive);
    CloseHandle(held);
    for (const auto& c : cases) {
        std::string path = std::string(folder) + c.name;
        EXPECT_EQ(PathExists(path), !c.goes) << c.name;
        DeleteFileA(path.c_str());
    }
    EXPECT_EQ(ReadBytes(linked), ini);
    DeleteFileA(linked.c_str());
}

TEST(StartUp, MissingAgreementEntryShowsBothMessagesInOrder)
{
    std::vector<unsigned char> archive =
        Archive({{"UPDATE.INI", std::string(RequiredSetup) + "AgreementText=KIYAKU.TXT\r\n"}});
    RunResult r = RunWith(&archive);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.boxes.size(), 2u);
    EXPECT_EQ(r.boxes[0].text, "Can't Find File in Resource !!");
    EXPECT_EQ(r.boxes[1].text, "'KIYAKU.TXT' not found at UPDATE.FA3");
    EXPECT_EQ(r.boxes[1].caption, "UPDATE");
    EXPECT_EQ(r.filesLeft, 0);
}

TEST(StartUp, AgreementTextsAreCopiedWithTwoNuls)
{
    std::string text = "第1条 利用規約\r\n本ソフトウェアは";
    for (PackMode storage : {PackStore, PackCompressAlways}) {
        for (int scramble : {0, 1}) {
            std::vector<unsigned char> archive =
                Archive({{"UPDATE.INI", std::string(RequiredSetup) + "AgreementText=kiyaku.txt\r\n"
                                                                     "AgreementTitle=TITLE.TXT\r\n"},
                         {"KIYAKU.TXT", text, storage, scramble},
                         {"TITLE.TXT", "利用規約 100%%", storage, scramble}});
            RunWith(&archive);
            ASSERT_NE(AgreementTextData, nullptr);
            EXPECT_GE(GlobalSize(AgreementTextData), text.size() + 2);
            EXPECT_EQ(std::string(AgreementTextData, text.size()), text);
            EXPECT_EQ(AgreementTextData[text.size()], '\0');
            EXPECT_EQ(AgreementTextData[text.size() + 1], '\0');
            ASSERT_NE(AgreementTitleData, nullptr);
            EXPECT_STREQ(AgreementTitleData, "利用規約 100%%");
            GlobalFree(AgreementTextData);
            GlobalFree(AgreementTitleData);
            AgreementTextData = AgreementTitleData = nullptr;
        }
    }
}

}  // namespace
