// Texts for people converted from code page 932, and the ANSI names that reach folders and files whose natural
// ANSI form is lossy. These run under the Japanese locale; the whole runs cover the other code page.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <string>

#include "harness.h"
#include "support/ansi_names.h"
#include "support/ui_text.h"

namespace {

std::wstring Cp932(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int units = MultiByteToWideChar(932, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    wide.resize(units > 0 ? units : 0);
    return wide;
}

TEST(UiText, ConvertsWholeCharactersAndCutsBeforeOne)
{
    struct {
        const char* name;
        std::string text;
        int outChars;
        std::wstring expected;
    } cases[] = {
        // 表 (95 5C), ソ (83 5C) and 十 (8F 5C) end in 0x5C: part of their characters, never a backslash.
        {"0x5C trail bytes", "C:\\ソフト\\表示十\\n", 64, L"C:\\\u30bd\u30d5\u30c8\\\u8868\u793a\u5341\\n"},
        {"fits exactly", "ab表示", 5, L"ab\u8868\u793a"},
        // A cut by bytes would keep the lead byte of 示 and show it as a stray character.
        {"limit inside a double-byte character", "ab表示", 4, L"ab\u8868"},
        {"limit at the first double-byte character", "表示", 2, L"\u8868"},
        {"room for the NUL only", "表示", 1, L""},
        {"half-width katakana and ASCII", "ｱｲｳ abc", 64, L"\uff71\uff72\uff73 abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t out[80];
        wmemset(out, L'#', 80);
        int written = Cp932ToWide(c.text.c_str(), out, c.outChars);
        EXPECT_EQ(std::wstring(out), c.expected);
        EXPECT_EQ(written, (int)c.expected.size());
        EXPECT_EQ(out[c.outChars], L'#') << "written past the buffer";
    }
}

TEST(UiText, MalformedPairsNeverOverflowTheBuffer)
{
    // A lead byte before a byte that cannot follow it may take two units; the cut still stays inside the buffer
    // and keeps a prefix of what the whole conversion gives.
    std::string text = "\x81\x20\x81\x20\x81\x20xyz";
    std::wstring whole = Cp932(text);
    for (int outChars = 1; outChars <= 12; ++outChars) {
        SCOPED_TRACE(outChars);
        wchar_t out[16];
        wmemset(out, L'#', 16);
        int written = Cp932ToWide(text.c_str(), out, outChars);
        ASSERT_LT(written, outChars);
        EXPECT_EQ(out[written], L'\0');
        EXPECT_EQ(out[outChars], L'#');
        EXPECT_EQ(whole.compare(0, written, out), 0) << "not a prefix of the whole conversion";
    }
}

TEST(UiText, LongTextReachesTheControlWhole)
{
    // An agreement text is far longer than any message: none of it may be cut.
    std::string agreement;
    for (int i = 0; i < 200; ++i)
        agreement += "第" + std::to_string(i) + "条 表示ソフト\r\n";
    ASSERT_GT(agreement.size(), 3000u);
    HWND dialog = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(dialog, (HWND) nullptr);
    HWND box = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | ES_MULTILINE, 0, 0, 10, 10, dialog, (HMENU)1000, nullptr,
                               nullptr);
    ASSERT_NE(box, (HWND) nullptr);
    SendMessageW(box, EM_SETLIMITTEXT, 0, 0);

    SetControlText(dialog, 1000, agreement.c_str());
    std::wstring shown(GetWindowTextLengthW(box) + 1, L'\0');
    shown.resize(GetWindowTextW(box, &shown[0], (int)shown.size()));
    EXPECT_TRUE(shown == Cp932(agreement)) << shown.size() << " units shown of " << Cp932(agreement).size();

    SetCaptionText(dialog, "風鈴坂 アップデータ 1.02");
    wchar_t caption[64] = L"";
    GetWindowTextW(dialog, caption, 64);
    EXPECT_EQ(std::wstring(caption), Cp932("風鈴坂 アップデータ 1.02"));
    DestroyWindow(dialog);
}

TEST(AnsiNames, LosslessFormOnlyWhenItTurnsBackIntoTheSameName)
{
    struct {
        const wchar_t* wide;
        const char* ansi;  // nullptr: lossy
    } cases[] = {
        {L"C:\\Users\\taro\\Temp\\", "C:\\Users\\taro\\Temp\\"},
        {L"C:\\\u30bd\u30d5\u30c8\\\u8868\u793a\\", "C:\\ソフト\\表示\\"},
        {L"C:\\Users\\Jos\u00e9\\", nullptr},   // "é" has no cp932 form; no best fit "e" either
        {L"C:\\Users\\\u0141ukasz\\", nullptr},
        {L"C:\\Users\\\U0001F600\\", nullptr},  // an emoji: a surrogate pair
    };
    for (const auto& c : cases) {
        char ansi[MAX_PATH];
        memset(ansi, 'x', sizeof ansi);
        DWORD length = LosslessAnsiForm(c.wide, ansi, sizeof ansi);
        if (!c.ansi) {
            EXPECT_EQ(length, 0u);
            continue;
        }
        EXPECT_EQ(length, strlen(c.ansi));
        EXPECT_STREQ(ansi, c.ansi);
        // Too small a buffer: the length, and nothing written.
        char small[4] = "abc";
        EXPECT_EQ(LosslessAnsiForm(c.wide, small, sizeof small), strlen(c.ansi));
        EXPECT_STREQ(small, "abc");
    }
}

// Points TMP and TEMP at `folder` for one test.
struct TempVariables {
    wchar_t savedTmp[1024], savedTemp[1024];
    explicit TempVariables(const std::wstring& folder)
    {
        GetEnvironmentVariableW(L"TMP", savedTmp, 1024);
        GetEnvironmentVariableW(L"TEMP", savedTemp, 1024);
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ~TempVariables()
    {
        SetEnvironmentVariableW(L"TMP", savedTmp);
        SetEnvironmentVariableW(L"TEMP", savedTemp);
    }
};

// 1 when the two paths name the same file or folder.
bool SameObject(const std::wstring& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION info[2];
    HANDLE handles[2] = {
        CreateFileW(a.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr),
        CreateFileA(b.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    bool same = handles[0] != INVALID_HANDLE_VALUE && handles[1] != INVALID_HANDLE_VALUE &&
                GetFileInformationByHandle(handles[0], &info[0]) && GetFileInformationByHandle(handles[1], &info[1]) &&
                info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
                info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
    for (HANDLE handle : handles)
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    return same;
}

TEST(AnsiNames, TemporaryFolderTheAnsiCallsReach)
{
    ScratchFolder scratch;
    std::wstring base = Cp932(scratch.path);
    struct {
        const char* name;
        std::wstring folder;
        bool create;
        bool keptAsIs;  // else another folder that the ANSI calls reach
    } cases[] = {
        {"a Japanese name has a cp932 form", base + L"\\\u592a\u90ce\\", true, true},
        {"a name with \"e\" acute: its short form", base + L"\\Jos\u00e9\\", true, false},
        {"missing: no short form either", base + L"\\Zo\u00eb\\", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.create) {
            ASSERT_TRUE(CreateDirectoryW(c.folder.c_str(), nullptr));
        }
        TempVariables temp(c.folder);
        char folder[MAX_PATH + 1];
        memset(folder, 0, sizeof folder);
        DWORD length = GetUpdaterTempFolder(folder, MAX_PATH);
        ASSERT_GT(length, 0u);
        ASSERT_LT(length, (DWORD)MAX_PATH);
        EXPECT_EQ(length, strlen(folder));
        EXPECT_EQ(folder[length - 1], '\\');
        if (c.keptAsIs) {
            EXPECT_EQ(Cp932(folder), c.folder);
            continue;
        }
        // The ANSI calls can make our file there, and what they make is where the folder is.
        std::string probe = std::string(folder) + "probe.tmp";
        ASSERT_TRUE(WriteBytes(probe, "x")) << folder;
        DeleteFileA(probe.c_str());
        if (c.create) {
            EXPECT_TRUE(SameObject(c.folder, folder)) << folder;
            continue;
        }
        EXPECT_EQ(GetFileAttributesW(c.folder.c_str()), INVALID_FILE_ATTRIBUTES) << "the missing folder was made";
        // A folder of the user's own, found again by the next copy of the updater.
        char again[MAX_PATH + 1] = "";
        EXPECT_EQ(GetUpdaterTempFolder(again, MAX_PATH), length);
        EXPECT_STREQ(again, folder);
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, &descriptor),
                  (DWORD)ERROR_SUCCESS);
        HANDLE token;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        DWORD user[64], size = 0;
        ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &size));
        CloseHandle(token);
        EXPECT_TRUE(EqualSid(owner, ((TOKEN_USER*)user)->User.Sid)) << "owned by the user";
        LocalFree(descriptor);
    }
}

TEST(AnsiNames, TargetsKeepTheirNamesOnCodePage932)
{
    // Here the ANSI name and the name read as cp932 are one: a target is never renamed, whether it exists or
    // the job is about to create it.
    ASSERT_EQ(GetACP(), 932u);
    ScratchFolder scratch;
    ASSERT_TRUE(WriteBytes(scratch / "表示.dat", "x"));
    for (const std::string& path : {scratch / "表示.dat", scratch / "新規ファイル名.dat"}) {
        char target[260];
        memset(target, 0, sizeof target);
        strcpy(target, path.c_str());
        ResolveTargetName(target, sizeof target);
        EXPECT_STREQ(target, path.c_str());
    }
}

}  // namespace
