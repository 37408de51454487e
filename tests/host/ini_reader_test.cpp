// The publisher's INI reader must see UPDATE.INI exactly as GetPrivateProfileStringA shows it to the updater.
// (This file is compiled with a cp932 execution character set: Japanese literals are cp932 bytes.)
#include <gtest/gtest.h>

#include <string>

#include "ini_reader.h"

namespace {

IniDocument Parse(const std::string& text)
{
    IniDocument doc;
    ParseIniText(text.data(), text.size(), &doc);
    return doc;
}

std::string Read(const IniDocument& doc, const char* section, const char* key)
{
    std::string value = "untouched";
    ReadIniValue(doc, section, key, &value);
    return value;
}

struct ValueCase {
    const char* line;     // one line under [S]
    const char* key;
    const char* expected;
    int present;          // what ReadIniValue returns
};

TEST(IniReader, ValuesReadAsTheProfileFunctionsGiveThem)
{
    const ValueCase cases[] = {
        {"Key=value", "Key", "value", 1},
        {"  Key \t=\t value  \t", "Key", "value", 1},
        {"Key=\"  quoted keeps blanks  \"", "Key", "  quoted keeps blanks  ", 1},
        {"Key='single'", "Key", "single", 1},
        {"Key=\"\"", "Key", "", 0},
        {"Key=\"", "Key", "\"", 1},
        {"Key=\"mixed'", "Key", "\"mixed'", 1},
        {"Key=\"a\"b\"", "Key", "a\"b", 1},
        {"Key=value ; not a comment", "Key", "value ; not a comment", 1},
        {"Key=", "Key", "", 0},
        {"Key", "Key", "", 0},
        {"Key=a=b", "Key", "a=b", 1},
        {"kEY=case", "Key", "case", 1},
        {"Key=a\\nb", "Key", "a\\nb", 1},
        {"Path=C:\\ソフト\\表示\\", "path", "C:\\ソフト\\表示\\", 1},
        {"表示=cp932 key", "表示", "cp932 key", 1},
        {"Key=x\x1A", "Key", "x", 1},
        {";Key=commented", "Key", "", 0},
        {"  ;Key=commented", "Key", "", 0},
        {"Other=1", "Key", "", 0},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.line);
        IniDocument doc = Parse(std::string("[S]\r\n") + c.line + "\r\n");
        std::string value;
        EXPECT_EQ(ReadIniValue(doc, "S", c.key, &value), c.present);
        EXPECT_EQ(value, c.expected);
    }
}

TEST(IniReader, LineEndsOfEveryKind)
{
    for (const char* end : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE((int)end[0] + (int)end[1]);
        std::string e = end;
        IniDocument doc = Parse("; head" + e + "[A]" + e + "One=1" + e + e + "Two=2" + e + "[B]" + e + "One=b1");
        EXPECT_EQ(Read(doc, "A", "One"), "1");
        EXPECT_EQ(Read(doc, "A", "Two"), "2");
        EXPECT_EQ(Read(doc, "B", "One"), "b1");
        ASSERT_EQ(doc.sections.size(), 2u);
        EXPECT_EQ(doc.sections[0].line, 2);
        ASSERT_EQ(doc.sections[0].entries.size(), 2u);
        EXPECT_EQ(doc.sections[0].entries[1].line, 5) << "blank lines still count";
    }
}

TEST(IniReader, FirstSectionAndFirstKeyWin)
{
    IniDocument doc = Parse(
        "Loose=before any section\n"
        "[setup]\nKey=first\nkey=second\n"
        "[Other]\nKey=other\n"
        "[SETUP]\nKey=repeated section\nOnlyHere=x\n");
    EXPECT_EQ(Read(doc, "SETUP", "Key"), "first");
    EXPECT_EQ(Read(doc, "  Setup ", " KEY "), "first") << "the asked names are trimmed";
    EXPECT_EQ(Read(doc, "SETUP", "OnlyHere"), "") << "a repeated section is never read";
    EXPECT_EQ(Read(doc, "", "Loose"), "before any section") << "keys before any header form a nameless section";
    const IniSection* s = FindIniSection(doc, "SETUP");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->line, 2);
    ASSERT_EQ(s->entries.size(), 2u) << "duplicates stay visible to the checks";
    EXPECT_EQ(FindIniEntry(doc, "SETUP", "KEY"), &s->entries[0]);
}

TEST(IniReader, SectionHeaders)
{
    IniDocument doc = Parse("[ Spaced ]\nA=1\n[Tail] junk\nB=2\n[Broken\nC=3\n[表示]\nD=4\n");
    EXPECT_EQ(Read(doc, "Spaced", "A"), "1") << "blanks inside the brackets are trimmed";
    ASSERT_EQ(doc.sections.size(), 3u);
    EXPECT_EQ(doc.sections[0].name, "Spaced");
    EXPECT_EQ(Read(doc, "Tail", "B"), "2");
    // A '[' line without ']' is a key line of the section it stands in.
    EXPECT_EQ(Read(doc, "Tail", "C"), "3");
    EXPECT_EQ(Read(doc, "表示", "D"), "4");
}

// Double-byte characters compare exactly: ア (83 41) and ャ (83 61) differ only in a trail byte that looks like
// an ASCII letter.
TEST(IniReader, TrailBytesNeverFoldCase)
{
    EXPECT_EQ(IniNamesEqual("アX", 3, "ャX", 3), 0);
    EXPECT_EQ(IniNamesEqual("アx", 3, "アX", 3), 1);
    EXPECT_EQ(IniNamesEqual("abc", 3, "ABC", 3), 1);
    EXPECT_EQ(IniNamesEqual("abc", 3, "ABCD", 4), 0);
    IniDocument doc = Parse("[S]\nキーア=1\n");
    EXPECT_EQ(Read(doc, "S", "キーャ"), "");
    EXPECT_EQ(Read(doc, "S", "キーア"), "1");
}

TEST(IniReader, ByteOrderMarks)
{
    EXPECT_EQ(Parse("[S]\nK=v\n").byteOrderMark, 0);
    IniDocument utf8 = Parse("\xEF\xBB\xBF[S]\nK=v\n");
    EXPECT_EQ(utf8.byteOrderMark, 8);
    EXPECT_EQ(Read(utf8, "S", "K"), "v") << "the mark is not part of the first line";
    EXPECT_EQ(Parse(std::string("\xFF\xFE[\0S\0]\0", 8)).byteOrderMark, 16);
}

TEST(IniReader, LoadsFiles)
{
    std::string path = ::testing::TempDir() + "ini_reader_test.ini";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("[SETUP]\r\nGameTitle=風鈴坂\r\n", f);
    fclose(f);
    IniDocument doc;
    std::string error;
    ASSERT_EQ(LoadIniFile(path.c_str(), &doc, &error), 1) << error;
    EXPECT_EQ(Read(doc, "SETUP", "GameTitle"), "風鈴坂");
    remove(path.c_str());
    EXPECT_EQ(LoadIniFile(path.c_str(), &doc, &error), 0);
    EXPECT_FALSE(error.empty());
}

}  // namespace
