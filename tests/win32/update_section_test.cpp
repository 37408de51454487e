#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "job/update_section.h"
#include "support/globals.h"
#include "support/updater_values.h"

namespace {

struct ExpectedUpdate {
    UpdateKind kind;
    std::string path;
    int nameOffset;
    int refused;
};

struct ExpectedCopy {
    int diskNo;
    std::string path;
    int refused;
};

struct SectionCase {
    const char* name;
    std::string section;  // the lines of the "UPDATE" section
    uint32_t instMode;
    std::vector<ExpectedUpdate> updates;
    std::vector<ExpectedCopy> copies;
    int updateKeys;
    int copyKeys;
};

const UpdateKind N = UpdateKind::Normal, U = UpdateKind::Update, D = UpdateKind::Data, O = UpdateKind::Overwrite;

// Every parse goes to the same place, so a run that keeps something of the one before shows.
UpdateSection Parsed;

// Parses `section` as the whole "UPDATE" section of UPDATE.INI.
void ParseSection(const std::string& section, uint32_t instMode)
{
    UseUpdateIni("[SETUP]\r\nGameTitle=x\r\n[UPDATE]\r\n" + section + "[OTHER]\r\nUpdateFile00=z\r\n");
    MissingKeySilent = 1;
    MessageBoxCapture capture;
    ParseUpdateSection(instMode, &Parsed);
    EXPECT_TRUE(capture.boxes.empty());
}

void CheckLists(const SectionCase& c)
{
    EXPECT_EQ(Parsed.updateKeysPresent, c.updateKeys);
    EXPECT_EQ(Parsed.copyKeysPresent, c.copyKeys);
    ASSERT_EQ(Parsed.itemCount, (int32_t)c.updates.size());
    for (size_t i = 0; i < c.updates.size(); ++i) {
        SCOPED_TRACE("update item " + std::to_string(i));
        const UpdateItem& item = Parsed.items[i];
        EXPECT_EQ(item.kind, c.updates[i].kind);
        EXPECT_EQ(std::string(item.path), c.updates[i].path);
        EXPECT_EQ(item.nameOffset, c.updates[i].nameOffset);
        EXPECT_EQ(item.refused, c.updates[i].refused);
    }
    ASSERT_EQ(Parsed.copyCount, (int32_t)c.copies.size());
    for (size_t i = 0; i < c.copies.size(); ++i) {
        SCOPED_TRACE("copy item " + std::to_string(i));
        const CopyItem& item = Parsed.copies[i];
        EXPECT_EQ(item.diskNo, c.copies[i].diskNo);
        EXPECT_EQ(std::string(item.path), c.copies[i].path);
        EXPECT_EQ(item.refused, c.copies[i].refused);
    }
}

void RunCases(const std::vector<SectionCase>& cases)
{
    for (const SectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        ParseSection(c.section, c.instMode);
        CheckLists(c);
    }
}

// "Key%02i=value" lines for `first` .. `last`.
std::string Series(const char* stem, int first, int last, const std::string& value)
{
    std::string lines;
    char key[32];
    for (int i = first; i <= last; ++i) {
        wsprintfA(key, "%s%02i=", stem, i);
        lines += key + value + "\r\n";
    }
    return lines;
}

TEST(ParseUpdateSection, SeriesGapsAndCap)
{
    std::vector<ExpectedUpdate> sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen.push_back({N, "f.dat", 0, 0});
    std::vector<ExpectedCopy> sixteenCopies(16, ExpectedCopy{0, "c", 0});
    RunCases({
        {"no keys", "", 1, {}, {}, 0, 0},
        {"the 00 keys absent: nothing behind them is read", "UpdateFile01=a.dat\r\nCopyFile01=1:a\r\n", 1, {}, {}, 0, 0},
        {"a gap at 05 ends the series; the two series are independent",
         Series("UpdateFile", 0, 4, "f.dat") + "UpdateFile06=g.dat\r\nCopyFile00=c\r\nCopyFile02=d\r\n", 1,
         {{N, "f.dat", 0, 0}, {N, "f.dat", 0, 0}, {N, "f.dat", 0, 0}, {N, "f.dat", 0, 0}, {N, "f.dat", 0, 0}},
         {{0, "c", 0}},
         1, 1},
        {"an empty value counts as absent", "UpdateFile00=a.dat\r\nUpdateFile01=\r\nUpdateFile02=b.dat\r\n", 1,
         {{N, "a.dat", 0, 0}}, {}, 1, 0},
        {"sixteen of each", Series("UpdateFile", 0, 16, "f.dat") + Series("CopyFile", 0, 16, "c"), 1, sixteen,
         sixteenCopies, 1, 1},
        // Sixteen keys for another installation type: a seventeenth key for this one is never read.
        {"the 16-key cap", Series("UpdateFile", 0, 15, "9,f.dat") + "UpdateFile16=mine.dat\r\n" +
             Series("CopyFile", 0, 15, "9,c") + "CopyFile16=mine\r\n", 1, {}, {}, 1, 1},
        {"keys present although no item is for this installation", "UpdateFile00=3,a.dat\r\nCopyFile00=3,x\r\n", 1, {},
         {}, 1, 1},
    });
}

TEST(ParseUpdateSection, UpdateItems)
{
    RunCases({
        {"selectors against InstMode 2",
         "UpdateFile00=1,file.dat\r\nUpdateFile01=1,u,file.dat\r\nUpdateFile02=2,u,file.dat\r\n"
         "UpdateFile03=2,file2.dat\r\nUpdateFile04=o,all.dat\r\n",
         2, {{U, "file.dat", 0, 0}, {N, "file2.dat", 0, 0}, {O, "all.dat", 0, 0}}, {}, 1, 0},
        {"selector 0 with InstMode 0", "UpdateFile00=0,d,save.dat\r\nUpdateFile01=1,d,other.dat\r\n", 0,
         {{D, "save.dat", 0, 0}}, {}, 1, 0},
        {"letters without regard to case",
         "UpdateFile00=U,a.dat\r\nUpdateFile01=u,a.dat\r\nUpdateFile02=D,a.dat\r\nUpdateFile03=O,a.dat\r\n"
         "UpdateFile04=d,a.dat,ignored\r\n",
         1, {{U, "a.dat", 0, 0}, {U, "a.dat", 0, 0}, {D, "a.dat", 0, 0}, {O, "a.dat", 0, 0}, {D, "a.dat", 0, 0}}, {},
         1, 0},
        {"what is no kind letter: a blank after it, a full-width letter, two letters, a number",
         "UpdateFile00=u ,a.dat\r\nUpdateFile01=ｕ,a.dat\r\nUpdateFile02=uu,a.dat\r\nUpdateFile03=12,u,a.dat\r\n"
         "UpdateFile04=x,a.dat\r\n",
         1, {{N, "u ", 0, 0}, {N, "ｕ", 0, 0}, {N, "uu", 0, 0}, {N, "12", 0, 0}, {N, "x", 0, 0}}, {}, 1, 0},
        {"tokens: blanks before a token skipped, after it kept; a disk prefix dropped",
         "UpdateFile00=  1 , u,\tsub\\a.dat \r\nUpdateFile01=1, 3:sub\\b.dat\r\nUpdateFile02=1,u,2:c.dat\r\n", 1,
         {{N, "1 ", 0, 0}, {N, "sub\\b.dat", 4, 0}, {U, "c.dat", 0, 0}}, {}, 1, 0},
        {"missing tokens leave the path empty, never the previous item's",
         "UpdateFile00=1,u,first\\prev.dat\r\nUpdateFile01=u\r\nUpdateFile02=1,o\r\nUpdateFile03=d,,x.dat\r\n", 1,
         {{U, "first\\prev.dat", 6, 0}, {U, "", 0, 0}, {O, "", 0, 0}, {D, "", 0, 0}}, {}, 1, 0},
        // ソ is 83 5C and 表 is 95 5C: their trail bytes are no separators.
        {"nameOffset by characters",
         "UpdateFile00=ソフト\\表示.dat\r\nUpdateFile01=dir\\表\r\nUpdateFile02=表\r\nUpdateFile03=a/b.dat\r\n"
         "UpdateFile04=a\\b\\c.dat\r\nUpdateFile05=u,ｱ\\ソ\\x\r\nUpdateFile06=sub\\\r\n",
         1,
         {{N, "ソフト\\表示.dat", 7, 0},
          {N, "dir\\表", 4, 0},
          {N, "表", 0, 0},
          {N, "a/b.dat", 0, 0},
          {N, "a\\b\\c.dat", 4, 0},
          {U, "ｱ\\ソ\\x", 5, 0},
          {N, "sub\\", 4, 0}},
         {}, 1, 0},
    });
}

TEST(ParseUpdateSection, CopyItems)
{
    RunCases({
        {"selector and disk prefix at fixed places",
         "CopyFile00=1:sub\\file.dat\r\nCopyFile01=2,1:sub\r\nCopyFile02=3,1:other\r\nCopyFile03=file.dat\r\n"
         "CopyFile04=2,data\\x.dat\r\nCopyFile05=0:d0\r\nCopyFile06=9:表示\\a b\r\nCopyFile07=2,9:*.dat\r\n",
         2,
         {},
         {{1, "sub\\file.dat", 0},
          {1, "sub", 0},
          {0, "file.dat", 0},
          {0, "data\\x.dat", 0},
          {0, "d0", 0},
          {9, "表示\\a b", 0},
          {9, "*.dat", 0}},
         0, 1},
        {"raw: no tokenizing, commas and blanks stay in the path",
         "CopyFile00=1:a, b\r\nCopyFile01=1: a\r\nCopyFile02=12:x\r\n", 1,
         {}, {{1, "a, b", 0}, {1, " a", 0}, {0, "12:x", 1}}, 0, 1},  // a colon left in the path is refused
        // A double-byte first character is never a prefix: the byte after its lead byte is its trail byte.
        {"a double-byte character first", "CopyFile00=表:x\r\nCopyFile01=ソ,x\r\n", 1, {},
         {{0, "表:x", 1}, {0, "ソ,x", 0}}, 0, 1},  // the colon stays in the path, which refuses it
        {"disk numbers that are no digit are refused",
         "CopyFile00=x:file\r\nCopyFile01=/:file\r\nCopyFile02=ｱ:file\r\nCopyFile03=1,\x80:file\r\n", 1, {},
         {{'x' - '0', "file", 1}, {-1, "file", 1}, {0xB1 - '0', "file", 1}, {0x80 - '0', "file", 1}}, 0, 1},
        {"paths that name the whole disc are refused",
         "CopyFile00=1:\r\nCopyFile01=1:\\\r\nCopyFile02=1:.\r\nCopyFile03=2,1:\r\nCopyFile04=1:.\\\r\n"
         "CopyFile05=1:..\r\nCopyFile06=1:*.*\r\nCopyFile07=1:/\r\nCopyFile08=2,\r\nCopyFile09=\\\r\n"
         "CopyFile10=1:.\\x\r\n",
         2, {},
         {{1, "", 1},
          {1, "\\", 1},
          {1, ".", 1},
          {1, "", 1},
          {1, ".\\", 1},
          {1, "..", 1},
          {1, "*.*", 1},
          {1, "/", 1},
          {0, "", 1},
          {0, "\\", 1},
          {1, ".\\x", 0}},
         0, 1},
    });
}

// The updater runs elevated: a path that could leave its folder, or that names a device, is refused.
TEST(ParseUpdateSection, PathsThatLeaveTheirFolder)
{
    RunCases({
        {"update items",
         "UpdateFile00=..\\..\\..\\windows\\evil.dll\r\nUpdateFile01=u,C:\\x.dat\r\nUpdateFile02=d,a.dat:s\r\n"
         "UpdateFile03=o,sub\\CON.txt\r\nUpdateFile04=1,nul.dat\r\nUpdateFile05=\\windows\\x.dll\r\n"
         "UpdateFile06=sub\\..\\..\\x.dat\r\nUpdateFile07=sub\\ok.dat\r\n",
         1,
         {{N, "..\\..\\..\\windows\\evil.dll", 17, 2},
          {U, "\\x.dat", 1, 2},  // "C:" is taken as a disk prefix by the list tokenizer
          {D, "a.dat:s", 0, 2},
          {O, "sub\\CON.txt", 4, 2},
          {N, "nul.dat", 0, 2},
          {N, "\\windows\\x.dll", 9, 2},
          {N, "sub\\..\\..\\x.dat", 10, 2},
          {N, "sub\\ok.dat", 4, 0}},
         {}, 1, 0},
        {"copy items: climbing out, or naming the whole disc through \"..\"",
         "CopyFile00=1:..\\..\\..\\windows\\x.txt\r\nCopyFile01=1:cdfolder\\..\r\nCopyFile02=1:a\\..\\..\r\n"
         "CopyFile03=1:.\\.\r\nCopyFile04=1:\\\\server\\x\r\nCopyFile05=1:aux\r\nCopyFile06=1:d:x\r\n"
         "CopyFile07=1:cdfolder\\\r\n",
         1, {},
         {{1, "..\\..\\..\\windows\\x.txt", 1},
          {1, "cdfolder\\..", 1},
          {1, "a\\..\\..", 1},
          {1, ".\\.", 1},
          {1, "\\\\server\\x", 1},
          {1, "aux", 1},
          {1, "d:x", 1},
          {1, "cdfolder\\", 0}},
         0, 1},
    });
}

TEST(ParseUpdateSection, LongValues)
{
    std::string fits = "a" + std::string(258, 'p');  // 259 bytes
    std::string fitsDbcs = "a";
    for (int i = 0; i < 129; ++i)
        fitsDbcs += "表";  // 259 bytes
    std::string tenKb(10240, 'k');
    std::string tenKbDbcs;
    for (int i = 0; i < 5120; ++i)
        tenKbDbcs += "表";
    std::string cutDbcs = tenKbDbcs.substr(0, 258);
    RunCases({
        {"a 259-byte path fits, a 260-byte one is refused with its cut start",
         "UpdateFile00=u," + fits + "\r\nUpdateFile01=" + fitsDbcs + "\r\nUpdateFile02=1,d," + fitsDbcs + "x\r\n"
             "UpdateFile03=after.dat\r\n",
         1, {{U, fits, 0, 0}, {N, fitsDbcs, 0, 0}, {D, fitsDbcs.substr(0, 259), 0, 1}, {N, "after.dat", 0, 0}}, {},
         1, 0},
        {"10 KB tokens: refused when they are the path, ignored when not used",
         "UpdateFile00=" + tenKb + "\r\nUpdateFile01=u,a.dat," + tenKb + "\r\nUpdateFile02=1,o," + tenKbDbcs +
             ",b.dat\r\nUpdateFile03=" + tenKb + ",c.dat\r\n",
         1,
         {{N, tenKb.substr(0, 259), 0, 1},
          {U, "a.dat", 0, 0},
          {O, cutDbcs, 0, 1},
          {N, tenKb.substr(0, 259), 0, 1}},
         {}, 1, 0},
        // The value's own limit is 1023 bytes: a path that runs into it is cut too.
        {"a path cut by the value's limit",
         "UpdateFile00=u," + std::string(1013, ' ') + "abcdefgh\r\n" +      // exactly 1023 bytes
             "UpdateFile01=u," + std::string(1014, ' ') + "abcdefgh\r\n" +  // 1024 bytes
             "UpdateFile02=1,u," + std::string(1100, ' ') + "x.dat\r\n" +   // the path lost entirely
             "UpdateFile03=u,a.dat," + std::string(1100, ' ') + "x\r\n",    // cut after the path
         1, {{U, "abcdefgh", 0, 0}, {U, "abcdefg", 0, 1}, {U, "", 0, 1}, {U, "a.dat", 0, 0}}, {}, 1, 0},
        {"copy values: 259 bytes fit, longer ones are refused",
         "CopyFile00=" + fits + "\r\nCopyFile01=1,1:" + fits.substr(0, 255) + "\r\nCopyFile02=1:" + fits +
             "\r\nCopyFile03=" + fitsDbcs + "\r\nCopyFile04=" + tenKb + "\r\nCopyFile05=1:" + tenKbDbcs +
             "\r\nCopyFile06=1:ok\r\n",
         1,
         {},
         {{0, fits, 0},
          {1, fits.substr(0, 255), 0},
          {1, fits.substr(0, 257), 1},
          {0, fitsDbcs, 0},
          {0, tenKb.substr(0, 259), 1},
          {1, tenKbDbcs.substr(0, 256), 1},
          {1, "ok", 0}},
         0, 1},
        {"a long value for another installation type is dropped", "CopyFile00=2," + tenKb + "\r\n", 1, {}, {}, 0, 1},
    });
}

TEST(ParseUpdateSection, EachRunStartsAfresh)
{
    std::string section = "UpdateFile00=a.dat\r\nUpdateFile01=u,b.dat\r\nCopyFile00=1:c\r\n";
    ParseSection(section, 1);
    ParseSection(section, 1);
    CheckLists({"same file twice", section, 1, {{N, "a.dat", 0, 0}, {U, "b.dat", 0, 0}}, {{1, "c", 0}}, 1, 1});
    ParseSection("", 1);
    CheckLists({"then no keys", "", 1, {}, {}, 0, 0});
}

}  // namespace
