#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "harness.h"
#include "support/disk_space.h"
#include "support/globals.h"
#include "support/info_text.h"
#include "support/messages.h"
#include "support/settings_access.h"
#include "support/whole_file.h"

namespace {

// Points SETUP.INI's path at a fresh file and gives the updater's UPDATE.INI text for one test.
struct SettingsFiles {
    ScratchFolder folder;
    SettingsFiles(const std::string& setupIni, const std::string& updateIni)
    {
        WriteBytes(folder / "SETUP.INI", setupIni);
        lstrcpyA(SetupIniPath, (folder / "SETUP.INI").c_str());
        UseUpdateIni(updateIni);
    }
};

TEST(SettingsRead, MissingAndEmptyKeysByPolicy)
{
    SettingsFiles files("[SETUP]\r\nGameExe=\r\nGameTitle=表示テスト\r\n", "[SETUP]\r\nCompanyName=\r\n");
    struct {
        int silent;
        bool setup;
        const char* key;
        const char* expectedText;  // nullptr: no box
    } cases[] = {
        {0, true, "GameExe", "SETUP.INI : GameExe キーが存在しません"},
        {0, true, "NoSuchKey", "SETUP.INI : NoSuchKey キーが存在しません"},
        {1, true, "GameExe", nullptr},
        {0, false, "GameDir", "SETUP : GameDir キーが存在しません"},
        {0, false, "CompanyName", "SETUP : CompanyName キーが存在しません"},
        {1, false, "GameDir", nullptr},
    };
    for (const auto& c : cases) {
        MessageBoxCapture capture;
        MissingKeySilent = c.silent;
        char buffer[260];
        memset(buffer, 'x', sizeof buffer);
        int result = c.setup ? ReadSetupValue(c.key, buffer, sizeof buffer)
                             : ReadUpdateValue("SETUP", c.key, buffer, sizeof buffer);
        EXPECT_EQ(result, 0) << c.key;
        EXPECT_EQ(buffer[0], '\0');
        EXPECT_EQ(buffer[259], '\0') << "the whole buffer is emptied";
        if (!c.expectedText) {
            EXPECT_TRUE(capture.boxes.empty()) << c.key;
            continue;
        }
        ASSERT_EQ(capture.boxes.size(), 1u) << c.key;
        EXPECT_EQ(capture.boxes[0].text, c.expectedText);
        EXPECT_EQ(capture.boxes[0].caption, "INSTCMMN");
        EXPECT_EQ(capture.boxes[0].style, (UINT)(MB_ICONERROR | MB_OK));
        EXPECT_EQ(capture.boxes[0].owner, (HWND) nullptr);
    }
    MissingKeySilent = 0;
}

TEST(SettingsRead, PresentValueAndNumbers)
{
    SettingsFiles files("[SETUP]\r\nGameTitle=表示テスト\r\nA=12abc\r\nB=abc\r\nC=  -42\r\n", "");
    MissingKeySilent = 1;
    char buffer[260];
    ASSERT_EQ(ReadSetupValue("gametitle", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "表示テスト");

    int32_t number = 99;
    EXPECT_EQ(ReadSetupNumber("A", &number), 1);
    EXPECT_EQ(number, 12);
    EXPECT_EQ(ReadSetupNumber("B", &number), 1);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(ReadSetupNumber("C", &number), 1);
    EXPECT_EQ(number, -42);
    number = 99;
    EXPECT_EQ(ReadSetupNumber("Missing", &number), 0);
    EXPECT_EQ(number, 99);
}

TEST(SettingsRead, LongValuesAreCutOnCharacterBoundary)
{
    // 3 + 2*N bytes of double-byte text: a 10-byte buffer keeps "abc" and three whole characters.
    std::string longDbcs = "abc";
    for (int i = 0; i < 5000; ++i)
        longDbcs += "表";
    std::string longAscii(10000, 'q');
    SettingsFiles files("[SETUP]\r\nD=" + longDbcs + "\r\nA=" + longAscii + "\r\n", "");
    MissingKeySilent = 1;

    char small[12];
    memset(small, 'Z', sizeof small);
    ASSERT_EQ(ReadSetupValue("D", small, 10), 1);
    EXPECT_STREQ(small, "abc\x95\x5c\x95\x5c\x95\x5c");
    EXPECT_EQ(small[10], 'Z');

    char big[1024 + 4];
    memset(big, 'Z', sizeof big);
    ASSERT_EQ(ReadSetupValue("A", big, 1024), 1);
    EXPECT_EQ(std::string(big), longAscii.substr(0, 1023));
    EXPECT_EQ(big[1024], 'Z');
}

TEST(ErrorBoxes, CaptionAndOwner)
{
    MessageBoxCapture capture;
    lstrcpyA(WindowCaption, "表示 アップデータ 1.02");
    ShowUpdaterError("メッセージ");
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, (HWND) nullptr);
    WizardWindow = window;
    ShowSettingsError("設定");
    ShowUpdaterError("二つ目");
    WizardWindow = nullptr;
    DestroyWindow(window);
    lstrcpyA(WindowCaption, "UPDATE");

    ASSERT_EQ(capture.boxes.size(), 3u);
    EXPECT_EQ(capture.boxes[0].caption, "表示 アップデータ 1.02");
    EXPECT_EQ(capture.boxes[0].owner, (HWND) nullptr);
    EXPECT_EQ(capture.boxes[1].caption, "INSTCMMN");
    EXPECT_EQ(capture.boxes[1].text, "設定");
    EXPECT_EQ(capture.boxes[1].owner, window);
    EXPECT_EQ(capture.boxes[2].owner, window);
    for (const CapturedBox& box : capture.boxes)
        EXPECT_EQ(box.style, (UINT)(MB_ICONERROR | MB_OK));
}

TEST(ErrorBoxes, CaptionStartsAsUpdate)
{
    EXPECT_STREQ(WindowCaption, "UPDATE");
}

// Files in `folder` other than the ones named: a failed save must leave no temporary file behind.
int CountFiles(const std::string& folder)
{
    int count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (lstrcmpA(found.cFileName, ".") && lstrcmpA(found.cFileName, ".."))
            ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

TEST(WholeFile, SaveStampsTimesAndReplaces)
{
    ScratchFolder folder;
    std::string path = folder / "表示.dat";
    ASSERT_TRUE(WriteBytes(path, "old content that is longer"));
    FILETIME stamp = MakeFileTime(132000000000000000ULL + 12345);
    ASSERT_EQ(SaveWholeFile(path.c_str(), "new", 3, &stamp), 1);
    // Times first: reading the content moves the last-access time.
    FILETIME access, write;
    ASSERT_TRUE(GetFileTimes(path, &access, &write));
    EXPECT_EQ(FileTimeValue(write), FileTimeValue(stamp));
    EXPECT_EQ(FileTimeValue(access), FileTimeValue(stamp));
    EXPECT_EQ(ReadBytes(path), "new");
    EXPECT_EQ(CountFiles(folder.path), 1);

    std::string empty = folder / "empty.dat";
    ASSERT_EQ(SaveWholeFile(empty.c_str(), "", 0, &stamp), 1);
    ASSERT_TRUE(GetFileTimes(empty, &access, &write));
    EXPECT_EQ(FileTimeValue(write), FileTimeValue(stamp));
    bool ok = false;
    EXPECT_EQ(ReadBytes(empty, &ok), "");
    EXPECT_TRUE(ok);
}

TEST(WholeFile, SaveRefusesReadOnlyFolderAndMissingFolder)
{
    ScratchFolder folder;
    std::string readOnly = folder / "ro.dat";
    ASSERT_TRUE(WriteBytes(readOnly, "keep"));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(SaveWholeFile(readOnly.c_str(), "new", 3, nullptr), 0);
    EXPECT_EQ(ReadBytes(readOnly), "keep");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);

    std::string sub = folder / "sub";
    CreateDirectoryA(sub.c_str(), nullptr);
    EXPECT_EQ(SaveWholeFile(sub.c_str(), "new", 3, nullptr), 0);
    EXPECT_EQ(SaveWholeFile((folder / "missing\\x.dat").c_str(), "new", 3, nullptr), 0);
    EXPECT_EQ(CountFiles(folder.path), 2);
}

TEST(WholeFile, FullDiskKeepsOldContentByteForByte)
{
    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    ClearSmallDisk();
    std::string old(200000, 'o');
    ASSERT_TRUE(WriteBytes("F:\\game.dat", old));
    std::string huge(2 * 1024 * 1024, 'n');
    EXPECT_EQ(SaveWholeFile("F:\\game.dat", huge.data(), (DWORD)huge.size(), nullptr), 0);
    EXPECT_EQ(ReadBytes("F:\\game.dat"), old);
    EXPECT_EQ(SaveWholeFile("F:\\new.dat", huge.data(), (DWORD)huge.size(), nullptr), 0);
    EXPECT_FALSE(PathExists("F:\\new.dat"));
    EXPECT_EQ(CountFiles("F:"), 1) << "temporary file left behind";
    ClearSmallDisk();
}

TEST(WholeFile, LoadWholeFile)
{
    ScratchFolder folder;
    std::string bytes("a\0b\xff", 4);
    ASSERT_TRUE(WriteBytes(folder / "x.bin", bytes));
    DWORD size = 77;
    void* block = LoadWholeFile((folder / "x.bin").c_str(), &size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string((char*)block, size), bytes);
    GlobalFree(block);

    size = 77;
    EXPECT_EQ(LoadWholeFile((folder / "none.bin").c_str(), &size), nullptr);
    EXPECT_EQ(size, 77u);

    ASSERT_TRUE(WriteBytes(folder / "empty.bin", ""));
    block = LoadWholeFile((folder / "empty.bin").c_str(), nullptr);
    ASSERT_NE(block, nullptr);
    GlobalFree(block);
}

TEST(WholeFile, LoadRefusesFileBeyond32Bits)
{
    ScratchFolder folder;
    std::string path = folder / "huge.dat";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = 0x10000000AULL;  // 4 GiB + 10 bytes, sparse on the Unix side
    bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized)
        GTEST_SKIP() << "this file system cannot hold a 4 GiB file";
    DWORD size = 77;
    void* block = LoadWholeFile(path.c_str(), &size);
    EXPECT_EQ(block, nullptr) << "only the low 32 bits (10) were taken";
    EXPECT_EQ(size, 77u);
    if (block)
        GlobalFree(block);
}

TEST(DiskSpace, ReportsDriveSpace)
{
    uint64_t callerFree = 0, total = 0, totalFree = 0;
    ASSERT_NE(QueryDriveFreeSpace("C:", &callerFree, &total, &totalFree), 0);
    EXPECT_GT(total, 0u);
    EXPECT_LE(callerFree, total);
    uint64_t again = 0;
    ASSERT_NE(QueryDriveFreeSpace("C:\\", &again, &total, nullptr), 0);
    EXPECT_GT(again, 0u);

    uint64_t untouched = 12345;
    EXPECT_EQ(QueryDriveFreeSpace("Q:", &untouched, &total, nullptr), 0);
    EXPECT_EQ(untouched, 12345u);

    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    ClearSmallDisk();
    ASSERT_NE(QueryDriveFreeSpace("F:", &callerFree, &total, nullptr), 0);
    EXPECT_EQ(total, 1048576u);
    EXPECT_EQ(callerFree, 1048576u);
    ASSERT_TRUE(WriteBytes("F:\\a.dat", std::string(300000, 'a')));
    ASSERT_NE(QueryDriveFreeSpace("F:", &callerFree, &total, nullptr), 0);
    EXPECT_EQ(callerFree, 1048576u - 303104u);  // 300000 bytes take 74 pages of 4096
    ClearSmallDisk();
}

TEST(InfoText, FormatsIntoControl1001)
{
    HWND dialog = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(dialog, (HWND) nullptr);
    HWND info = CreateWindowExA(0, "STATIC", "Info", WS_CHILD, 0, 0, 10, 10, dialog, (HMENU)1001, nullptr, nullptr);
    ASSERT_NE(info, (HWND) nullptr);
    char text[1100];
    SetInfoText(dialog, "「%s」の%sを開始します", "表示", "アップデート");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ(text, "「表示」のアップデートを開始します");
    SetInfoText(dialog, "利用規約 100%% %s");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ(text, "利用規約 100% %s");
    SetInfoText(dialog, "");
    GetWindowTextA(info, text, sizeof text);
    EXPECT_STREQ(text, "");
    DestroyWindow(dialog);
}

}  // namespace
