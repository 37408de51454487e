#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "settings/setup_settings.h"
#include "support/globals.h"
#include "support/list_token.h"
#include "support/updater_values.h"

namespace {

struct KeyChange {
    std::string key;
    std::string value;
    bool remove;
};
KeyChange Set(const std::string& key, const std::string& value) { return {key, value, false}; }
KeyChange Drop(const std::string& key) { return {key, "", true}; }

// A SETUP.INI that passes every check, with the smallest set of keys.
const std::vector<std::pair<std::string, std::string>> BaseKeys = {
    {"CompanyName", "ソフト会社"},   {"GameTitle", "表示ゲーム"}, {"GameDir", "表示"},
    {"GameExe", "game.exe"},          {"UninstExe", "uninst.exe"}, {"SetupBmp", "a.bmp, b.bmp"},
    {"InstallSelects", "1"},          {"InstallTitle0", "標準"},   {"InstallFiles0", "a.dat"},
    {"Shortcuts", "1"},               {"Shortcut0", "ゲーム,game.exe"},
};

std::string MakeSetupIni(const std::vector<KeyChange>& changes)
{
    std::vector<std::pair<std::string, std::string>> keys = BaseKeys;
    for (const KeyChange& change : changes) {
        bool found = false;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i].first != change.key)
                continue;
            found = true;
            if (change.remove)
                keys.erase(keys.begin() + i);
            else
                keys[i].second = change.value;
            break;
        }
        if (!found && !change.remove)
            keys.push_back({change.key, change.value});
    }
    std::string text = "[SETUP]\r\n";
    for (const auto& key : keys)
        text += key.first + "=" + key.second + "\r\n";
    return text;
}

struct ReadResult {
    int result;
    std::vector<std::string> boxes;
};

// Every case gets a fresh file (Wine caches profile files by name) and the state a fresh process would have, with
// UPDATE.INI's values of the shared names in place.
ReadResult RunReader(const ScratchFolder& folder, const std::string& ini, int silent)
{
    static int fileNumber;
    std::string path = folder / ("SETUP" + std::to_string(++fileNumber) + ".INI");
    EXPECT_TRUE(WriteBytes(path, ini));
    lstrcpyA(SetupIniPath, path.c_str());
    memset(&SetupSettings, 0, sizeof SetupSettings);
    lstrcpyA(CompanyName, "UPDATE.INIの会社");
    lstrcpyA(GameTitle, "UPDATE.INIの題名");
    lstrcpyA(GameDir, "UPDATE.INIのフォルダ");
    lstrcpyA(GameClass, "UpdateIniClass");
    CurrentDiskNo = 0;
    MissingKeySilent = silent;

    MessageBoxCapture capture;
    ReadResult read;
    read.result = ReadInstallationSettings();
    for (const CapturedBox& box : capture.boxes) {
        read.boxes.push_back(box.text);
        EXPECT_EQ(box.caption, "INSTCMMN");
        EXPECT_EQ(box.style, (UINT)(MB_ICONERROR | MB_OK));
        EXPECT_EQ(box.owner, (HWND) nullptr);
    }
    return read;
}

std::string NumberedItems(const char* stem, int count)
{
    std::string list;
    for (int i = 0; i < count; ++i)
        list += (i ? "," : "") + std::string(stem) + std::to_string(i) + ".dat";
    return list;
}

struct SetupCase {
    const char* name;
    std::vector<KeyChange> changes;
    int silent;  // MissingKeySilent as the caller leaves it
    int result;
    std::vector<std::string> boxes;
    std::function<void()> check = nullptr;
};

void RunCases(const std::vector<SetupCase>& cases)
{
    ScratchFolder folder;
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReadResult read = RunReader(folder, MakeSetupIni(c.changes), c.silent);
        EXPECT_EQ(read.result, c.result);
        EXPECT_EQ(read.boxes, c.boxes);
        if (c.check)
            c.check();
    }
}

TEST(ReadInstallationSettings, ValuesAndDefaults)
{
    const auto& s = SetupSettings;
    RunCases({
        {"smallest file: every default", {}, 0, 1, {}, [&] {
             EXPECT_STREQ(CompanyName, "ソフト会社");
             EXPECT_STREQ(GameTitle, "表示ゲーム");
             EXPECT_STREQ(GameDir, "表示");
             EXPECT_STREQ(GameClass, "表示ゲーム") << "UPDATE.INI's GameClass must be lost";
             EXPECT_STREQ(s.GameExe, "game.exe");
             EXPECT_STREQ(s.UninstExe, "uninst.exe");
             EXPECT_STREQ(s.SetupBmp[0], "a.bmp");
             EXPECT_STREQ(s.SetupBmp[1], "b.bmp");
             EXPECT_STREQ(s.SetupBmp[2], "");
             EXPECT_EQ(s.InstallSelects, 1);
             EXPECT_STREQ(s.InstallTitle[0], "標準");
             EXPECT_STREQ(s.InstallFiles[0][0], "a.dat");
             EXPECT_STREQ(s.InstallFiles[0][1], "");
             EXPECT_EQ(s.NeedsDisk[0], 0);
             EXPECT_EQ(s.Shortcuts, 1);
             EXPECT_STREQ(s.Shortcut[0][0], "ゲーム");
             EXPECT_STREQ(s.Shortcut[0][1], "game.exe");
             EXPECT_STREQ(s.Shortcut[0][2], "");
             EXPECT_EQ(s.DefaultSelect, 0);
             EXPECT_EQ(s.InstallSize[0], 0u);
             for (int n = 0; n < DiskCheckFileSlots; ++n)
                 EXPECT_STREQ(s.DiskCheckFile[n], "");
             EXPECT_STREQ(s.ExecApp[0], "");
             EXPECT_STREQ(s.ExecApp[1], "");
             EXPECT_STREQ(s.SelectSetupMessage, "インストール方法を選択して下さい");
             EXPECT_STREQ(s.SaveDataFolderNameInInstall, "savedata");
             EXPECT_STREQ(s.SaveDataFolderName, "表示");
             EXPECT_STREQ(s.StrKeyInstPath, "InstPath");
             EXPECT_STREQ(s.ShortcutFolder, "");
             EXPECT_EQ(s.InstallAfterAdd, 0);
             EXPECT_STREQ(s.UninstTitle, "表示ゲーム");
             EXPECT_EQ(s.InstPathMode, 0);
             EXPECT_EQ(MissingKeySilent, 1) << "the reader ends with the flag at 1";
         }},
        {"every optional key given",
         {Set("GameClass", "GameWnd"), Set("DefaultSelect", "-3"), Set("InstallSize0", "123456789012"),
          Set("DiskCheckFile0", "disk0.chk"), Set("DiskCheckFile9", "表示9.chk"), Set("ExecApp", "run.exe, -go x"),
          Set("SelectSetupMessage", "選んで"), Set("SaveDataFolderNameInInstall", "save"),
          Set("SaveDataFolderName", "セーブ"), Set("StrKeyInstPath", "Path2"), Set("ShortcutFolder", "ショートカット"),
          Set("InstallAfterAdd", "0"), Set("UninstTitle", "削除"), Set("InstPathMode", "2"),
          Set("UseCompanyNameForShortcutGroup", "1"), Set("ChooseSaveDataFolder", "1")},
         1, 1, {}, [&] {
             EXPECT_STREQ(GameClass, "GameWnd");
             EXPECT_EQ(s.DefaultSelect, -3);
             EXPECT_EQ(s.InstallSize[0], 123456789012ULL);
             EXPECT_STREQ(s.DiskCheckFile[0], "disk0.chk");
             EXPECT_STREQ(s.DiskCheckFile[1], "");
             EXPECT_STREQ(s.DiskCheckFile[9], "表示9.chk");
             EXPECT_STREQ(s.ExecApp[0], "run.exe");
             EXPECT_STREQ(s.ExecApp[1], "-go x");
             EXPECT_STREQ(s.SelectSetupMessage, "選んで");
             EXPECT_STREQ(s.SaveDataFolderNameInInstall, "save");
             EXPECT_STREQ(s.SaveDataFolderName, "セーブ");
             EXPECT_STREQ(s.StrKeyInstPath, "Path2");
             EXPECT_STREQ(s.ShortcutFolder, "ショートカット");
             EXPECT_STREQ(s.UninstTitle, "削除");
             EXPECT_EQ(s.InstPathMode, 2);
         }},
        {"InstallAfterAdd: any non-zero number is 1", {Set("InstallAfterAdd", "-7"), Set("InstallAddFiles", "x.dat")},
         1, 1, {}, [&] { EXPECT_EQ(s.InstallAfterAdd, 1); }},
        {"64-bit sizes: beyond 32 bits, the first 19 bytes of 20 digits, a minus sign",
         {Set("InstallSelects", "3"), Set("InstallTitle1", "b"), Set("InstallFiles1", "b.dat"),
          Set("InstallTitle2", "c"), Set("InstallFiles2", "c.dat"), Set("InstallSize0", "4294967296"),
          Set("InstallSize1", "12345678901234567890"), Set("InstallSize2", "-1"), Set("InstallSize3", "5")},
         1, 1, {}, [&] {
             EXPECT_EQ(s.InstallSize[0], 4294967296ULL);
             EXPECT_EQ(s.InstallSize[1], 1234567890123456789ULL);
             EXPECT_EQ(s.InstallSize[2], 18446744073709551615ULL);
             EXPECT_EQ(s.InstallSize[3], 0u) << "no fourth selection, so InstallSize3 is not read";
         }},
        {"InstallSelects -1: no selections and no size read",
         {Set("InstallSelects", "-1"), Drop("InstallTitle0"), Drop("InstallFiles0"), Set("InstallSize0", "99")}, 1, 1,
         {}, [&] {
             EXPECT_EQ(s.InstallSelects, -1);
             EXPECT_STREQ(s.InstallFiles[0][0], "");
             EXPECT_EQ(s.InstallSize[0], 0u);
         }},
        {"InstallSelects 0 and Shortcuts 0",
         {Set("InstallSelects", "0"), Set("Shortcuts", "0"), Drop("Shortcut0")}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.InstallTitle[0], "");
             EXPECT_STREQ(s.Shortcut[0][0], "");
         }},
    });
}

TEST(ReadInstallationSettings, FileListsAndDisks)
{
    const auto& s = SetupSettings;
    RunCases({
        {"disk prefixes carry over, blanks after commas are skipped, each list starts on disk 0",
         {Set("InstallSelects", "2"), Set("InstallFiles0", "1:a.dat, b.dat, 0:c.dat,\t3:d.dat"),
          Set("InstallTitle1", "最小"), Set("InstallFiles1", "x.dat ,y.dat")},
         1, 1, {}, [&] {
             const char* files[] = {"a.dat", "b.dat", "c.dat", "d.dat"};
             const int disks[] = {1, 1, 0, 3};
             for (int i = 0; i < 4; ++i) {
                 EXPECT_STREQ(s.InstallFiles[0][i], files[i]);
                 EXPECT_EQ(s.DiskNo[0][i], disks[i]) << i;
             }
             EXPECT_STREQ(s.InstallFiles[0][4], "");
             EXPECT_EQ(s.NeedsDisk[0], 1);
             EXPECT_STREQ(s.InstallFiles[1][0], "x.dat ");
             EXPECT_STREQ(s.InstallFiles[1][1], "y.dat");
             EXPECT_EQ(s.DiskNo[1][0], 0);
             EXPECT_EQ(s.NeedsDisk[1], 0);
         }},
        {"45 items keep the first 40", {Set("InstallFiles0", NumberedItems("f", 45))}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.InstallFiles[0][0], "f0.dat");
             EXPECT_STREQ(s.InstallFiles[0][39], "f39.dat");
         }},
        {"an empty item ends the list", {Set("InstallFiles0", "a.dat,,b.dat")}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.InstallFiles[0][0], "a.dat");
             EXPECT_STREQ(s.InstallFiles[0][1], "");
         }},
        {"a leading comma leaves no item", {Set("InstallFiles0", ",a.dat")}, 1, 0, {"SETUP.INI : InstallFiles0 エラー"}},
        {"second selection's list empty",
         {Set("InstallSelects", "2"), Set("InstallTitle1", "b"), Set("InstallFiles1", " , x")}, 1, 0,
         {"SETUP.INI : InstallFiles1 エラー"}, [&] { EXPECT_STREQ(s.InstallFiles[0][0], "a.dat"); }},
        {"SetupBmp: 25 items keep 20", {Set("SetupBmp", NumberedItems("b", 25))}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.SetupBmp[19], "b19.dat");
         }},
        {"SetupBmp without an item", {Set("SetupBmp", ",a.bmp")}, 0, 0, {"SETUP.INI : SetupBmps エラー"}},
        {"InstallSelects 5", {Set("InstallSelects", "5")}, 1, 0, {"SETUP.INI : InstallSelect オーバー"}},
        {"InstallSelects past 32 bits is not wrapped to 1", {Set("InstallSelects", "4294967297")}, 1, 0,
         {"SETUP.INI : InstallSelect オーバー"}},
        {"four selections with the add-on set in the fourth slot",
         {Set("InstallSelects", "4"), Set("InstallTitle1", "t1"), Set("InstallFiles1", "f1.dat"),
          Set("InstallTitle2", "t2"), Set("InstallFiles2", "2:f2.dat"), Set("InstallTitle3", "第四"),
          Set("InstallFiles3", "5:g1.dat,g2.dat,g3.dat"), Set("InstallSize3", "500"), Set("InstallAfterAdd", "1"),
          Set("InstallAddFiles", "add1.dat, add2.dat"), Set("InstallAddSize", "77")},
         1, 1, {}, [&] {
             EXPECT_STREQ(s.InstallTitle[3], "第四");
             EXPECT_STREQ(s.InstallFiles[3][0], "add1.dat");
             EXPECT_STREQ(s.InstallFiles[3][1], "add2.dat");
             EXPECT_STREQ(s.InstallFiles[3][2], "");
             EXPECT_EQ(s.DiskNo[3][0], 0) << "the add-on list starts on disk 0";
             EXPECT_EQ(s.NeedsDisk[3], 0);
             EXPECT_EQ(s.InstallSize[3], 77u);
             EXPECT_STREQ(s.InstallFiles[2][0], "f2.dat");
             EXPECT_EQ(s.NeedsDisk[2], 1);
             EXPECT_EQ(MissingKeySilent, 1);
         }},
        {"add-on set with one selection and no InstallAddSize",
         {Set("InstallSize0", "10"), Set("InstallAfterAdd", "1"), Set("InstallAddFiles", "3:add.dat")}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.InstallFiles[0][0], "a.dat");
             EXPECT_STREQ(s.InstallTitle[3], "");
             EXPECT_STREQ(s.InstallFiles[3][0], "add.dat");
             EXPECT_EQ(s.DiskNo[3][0], 3);
             EXPECT_EQ(s.NeedsDisk[3], 1);
             EXPECT_EQ(s.InstallSize[3], 0u);
             EXPECT_EQ(s.InstallSize[0], 10u);
         }},
        {"InstallAfterAdd 0: add-on keys never read", {Set("InstallAfterAdd", "0"), Set("InstallAddFiles", ",")}, 1, 1,
         {}, [&] { EXPECT_STREQ(s.InstallFiles[3][0], ""); }},
        {"InstallAfterAdd 1 without InstallAddFiles is reported although the caller is silent",
         {Set("InstallAfterAdd", "1")}, 1, 0, {"SETUP.INI : InstallAddFiles キーが存在しません"}},
        {"InstallAddFiles without an item", {Set("InstallAfterAdd", "1"), Set("InstallAddFiles", " ,add.dat")}, 1, 0,
         {"SETUP.INI : InstallAddFiles エラー"}},
    });
}

TEST(ReadInstallationSettings, ShortcutsAndExecApp)
{
    const auto& s = SetupSettings;
    RunCases({
        {"the field forms",
         {Set("Shortcuts", "6"), Set("Shortcut0", "a,b"), Set("Shortcut1", "a,b,,d"), Set("Shortcut2", "a,b,,,d"),
          Set("Shortcut3", "a,b,c,d,e"), Set("Shortcut4", "a,b, , d"), Set("Shortcut5", "a,b,c,")},
         1, 1, {}, [&] {
             const char* expected[6][4] = {{"a", "b", "", ""},  {"a", "b", "", "d"}, {"a", "b", "", "d"},
                                           {"a", "b", "c", "d"}, {"a", "b", "", "d"}, {"a", "b", "c", ""}};
             for (int i = 0; i < 6; ++i)
                 for (int f = 0; f < 4; ++f)
                     EXPECT_STREQ(s.Shortcut[i][f], expected[i][f]) << "Shortcut" << i << " field " << f;
         }},
        {"second field empty", {Set("Shortcut0", "a,,c")}, 1, 0, {"SETUP.INI : Shortcut0 エラー"}},
        {"one field only", {Set("Shortcuts", "2"), Set("Shortcut1", "a")}, 1, 0, {"SETUP.INI : Shortcut1 エラー"}},
        {"Shortcuts 11", {Set("Shortcuts", "11")}, 1, 0, {"SETUP.INI : Shortcuts オーバー"}},
        {"Shortcuts 10 accepted",
         {Set("Shortcuts", "10"), Set("Shortcut1", "x,y"), Set("Shortcut2", "x,y"), Set("Shortcut3", "x,y"),
          Set("Shortcut4", "x,y"), Set("Shortcut5", "x,y"), Set("Shortcut6", "x,y"), Set("Shortcut7", "x,y"),
          Set("Shortcut8", "x,y"), Set("Shortcut9", "最後,z")},
         1, 1, {}, [&] { EXPECT_STREQ(s.Shortcut[9][0], "最後"); }},
        {"ExecApp with one item", {Set("ExecApp", "x.exe")}, 1, 0, {"SETUP.INI : ExecApp エラー"}},
        {"ExecApp: text after the second item ignored", {Set("ExecApp", "x.exe,y,z")}, 1, 1, {}, [&] {
             EXPECT_STREQ(s.ExecApp[0], "x.exe");
             EXPECT_STREQ(s.ExecApp[1], "y");
         }},
    });
}

TEST(ReadInstallationSettings, MissingRequiredKeys)
{
    RunCases({
        {"GameExe missing, caller silent", {Drop("GameExe")}, 1, 0, {}, [] {
             EXPECT_STREQ(GameDir, "表示") << "fields read so far stay";
         }},
        {"GameExe empty, caller not silent: only the first missing key is reported",
         {Set("GameExe", ""), Drop("UninstExe")}, 0, 0, {"SETUP.INI : GameExe キーが存在しません"}},
        {"CompanyName missing", {Drop("CompanyName")}, 0, 0, {"SETUP.INI : CompanyName キーが存在しません"}},
        {"InstallTitle of the second selection", {Set("InstallSelects", "2")}, 0, 0,
         {"SETUP.INI : InstallTitle1 キーが存在しません"}},
        {"InstallFiles of the second selection", {Set("InstallSelects", "2"), Set("InstallTitle1", "t")}, 0, 0,
         {"SETUP.INI : InstallFiles1 キーが存在しません"}},
        {"Shortcuts missing", {Drop("Shortcuts")}, 0, 0, {"SETUP.INI : Shortcuts キーが存在しません"}},
        {"InstallSelects missing, silent", {Drop("InstallSelects")}, 1, 0, {}},
        {"optional keys are silent even when the caller was not", {}, 0, 1, {}},
    });
}

// An item that does not fit its 259-byte slot would name another file: the list is refused under its key.
TEST(ReadInstallationSettings, ItemsLongerThanTheirSlot)
{
    std::string fits = "a" + std::string(258, 'x');        // 259 bytes
    std::string fitsDbcs = "a";
    for (int i = 0; i < 129; ++i)
        fitsDbcs += "表";                                  // 259 bytes
    std::string tooLong = fitsDbcs + "x";                   // 260 bytes
    const auto& s = SetupSettings;
    RunCases({
        {"259 bytes fit", {Set("InstallFiles0", fits + "," + fitsDbcs), Set("SetupBmp", fits)}, 1, 1, {}, [&] {
             EXPECT_EQ(std::string(s.InstallFiles[0][0]), fits);
             EXPECT_EQ(std::string(s.InstallFiles[0][1]), fitsDbcs);
             EXPECT_EQ(std::string(s.SetupBmp[0]), fits);
         }},
        {"a file item of 260 bytes", {Set("InstallFiles0", "a.dat," + tooLong + ",b.dat")}, 1, 0,
         {"SETUP.INI : InstallFiles0 エラー"}},
        {"a bitmap item of 260 bytes", {Set("SetupBmp", tooLong)}, 1, 0, {"SETUP.INI : SetupBmp エラー"}},
        {"an add-on item of 260 bytes", {Set("InstallAfterAdd", "1"), Set("InstallAddFiles", tooLong)}, 1, 0,
         {"SETUP.INI : InstallAddFiles エラー"}},
        {"a long item past the 40th is never looked at",
         {Set("InstallFiles0", NumberedItems("f", 40) + "," + tooLong)}, 1, 1, {}},
    });
}

// Values of 10 KB in every kind of field arrive cut to the field, and no neighbour is touched.
TEST(ReadInstallationSettings, TenKilobyteValues)
{
    std::string ascii(10240, 'q');
    std::string dbcs;
    for (int i = 0; i < 5120; ++i)
        dbcs += "表";
    std::string manyItems;
    while (manyItems.size() < 10240)
        manyItems += "item.dat,";
    std::string digits(10240, '1');
    const auto& s = SetupSettings;
    auto isPrefix = [](const char* field, const std::string& whole, size_t expectedLength) {
        EXPECT_EQ(strlen(field), expectedLength);
        EXPECT_EQ(whole.compare(0, strlen(field), field), 0);
    };
    RunCases({
        {"strings, lists, numbers and sizes",
         {Set("GameTitle", dbcs), Set("GameExe", ascii), Set("SetupBmp", manyItems), Set("InstallFiles0", manyItems),
          Set("Shortcut0", "s,t," + ascii), Set("GameClass", ascii), Set("DefaultSelect", digits),
          Set("InstallSize0", digits), Set("DiskCheckFile9", ascii), Set("ExecApp", "a.exe," + dbcs),
          Set("SelectSetupMessage", ascii), Set("ShortcutFolder", ascii), Set("InstallAfterAdd", "1"),
          Set("InstallAddFiles", manyItems), Set("InstallAddSize", digits), Set("UninstTitle", dbcs)},
         1, 1, {}, [&] {
             isPrefix(GameTitle, dbcs, 258);  // never a lone lead byte at the cut
             isPrefix(s.GameExe, ascii, 259);
             EXPECT_STREQ(s.UninstExe, "uninst.exe");
             EXPECT_STREQ(s.SetupBmp[19], "item.dat");
             EXPECT_EQ(s.InstallSelects, 1);
             EXPECT_STREQ(s.InstallFiles[0][39], "item.dat");
             EXPECT_STREQ(s.InstallFiles[3][39], "item.dat");
             EXPECT_STREQ(s.Shortcut[0][1], "t");
             isPrefix(s.Shortcut[0][2], ascii, 255);
             EXPECT_STREQ(s.Shortcut[0][3], "");
             isPrefix(GameClass, ascii, 259);
             EXPECT_EQ(s.DefaultSelect, INT32_MAX);
             EXPECT_EQ(s.InstallSize[0], 1111111111111111111ULL);
             EXPECT_EQ(s.InstallSize[3], 1111111111111111111ULL);
             isPrefix(s.DiskCheckFile[9], ascii, 259);
             EXPECT_STREQ(s.ExecApp[0], "a.exe");
             isPrefix(s.ExecApp[1], dbcs, 252);
             isPrefix(s.SelectSetupMessage, ascii, 1023);
             EXPECT_STREQ(s.SaveDataFolderNameInInstall, "savedata");
             isPrefix(s.ShortcutFolder, ascii, 259);
             EXPECT_EQ(s.InstallAfterAdd, 1);
             isPrefix(s.UninstTitle, dbcs, 258);
             EXPECT_EQ(s.InstPathMode, 0);
         }},
        {"a single 10 KB file item is refused", {Set("InstallFiles0", ascii)}, 1, 0, {"SETUP.INI : InstallFiles0 エラー"}},
        {"a 10 KB shortcut without a second field", {Set("Shortcut0", ascii + ",b")}, 1, 0,
         {"SETUP.INI : Shortcut0 エラー"}},
    });
}

}  // namespace
