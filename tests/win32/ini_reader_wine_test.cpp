// The publisher's INI reader and the updater's in-memory reader against GetPrivateProfileStringA itself: for every
// file and key below, all three must give the same value. (Compiled with a cp932 execution character set: Japanese literals are cp932 bytes.)
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ini_reader.h"
#include "support/profile_text.h"

namespace {

struct Lookup {
    const char* section;
    const char* key;
};

struct IniCase {
    const char* text;
    std::vector<Lookup> lookups;
};

const IniCase Cases[] = {
    {"[S]\r\nA=  plain  \r\nB=\"  quoted  \"\r\nC='single'\r\nD=\"\"\r\nE=\"\r\nF=\"mixed'\r\nG=\"a\"b\"\r\n"
     "H=value ; not a comment\r\nI=\r\nJ\r\nK=a=b\r\nL=\t tabbed \t\r\nM=x\x1A\r\n",
     {{"S", "A"}, {"S", "B"}, {"S", "C"}, {"S", "D"}, {"S", "E"}, {"S", "F"}, {"S", "G"}, {"S", "H"}, {"S", "I"},
      {"S", "J"}, {"S", "K"}, {"S", "L"}, {"S", "M"}, {"S", "missing"}, {"missing", "A"}}},
    {"[setup]\nKey=first\nKEY=second\n[Other]\nKey=other\n[SETUP]\nKey=again\nOnlyHere=x\n",
     {{"SETUP", "key"}, {"Setup", "OnlyHere"}, {"other", "KEY"}, {" SETUP ", " Key "}}},
    {"[A]\rOne=1\r\rTwo=2\r[B]\rOne=b\r", {{"A", "One"}, {"A", "Two"}, {"B", "One"}}},
    {"[ Spaced ]\r\nA=1\r\n[Tail] junk\r\nB=2\r\n[Broken\r\nC=3\r\n;D=4\r\n  ;E=5\r\n",
     {{"Spaced", "A"}, {" Spaced ", "A"}, {"Tail", "B"}, {"Tail", "C"}, {"Tail", "D"}, {"Tail", "E"}}},
    {"[表示]\r\nキーア=ア\r\nPath=C:\\ソフト\\表示\\\r\n  名前  =  値  \r\n",
     {{"表示", "キーア"}, {"表示", "キーャ"}, {"表示", "path"}, {"表示", "名前"}}},
    {"Loose=before\r\n[S]\r\nA=1\r\n", {{"", "Loose"}, {"S", "A"}}},
};

TEST(IniReaderUnderWine, SameValuesAsGetPrivateProfileStringA)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string path = std::string(folder) + "ini_reader_wine_test.ini";
    int index = 0;
    for (const IniCase& c : Cases) {
        SCOPED_TRACE(index++);
        std::string text = c.text;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written;
        WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
        CloseHandle(file);
        IniDocument doc;
        ParseIniText(text.data(), text.size(), &doc);
        for (const Lookup& l : c.lookups) {
            SCOPED_TRACE(std::string(l.section) + " / " + l.key);
            char buffer[1024];
            DWORD n = GetPrivateProfileStringA(l.section, l.key, "", buffer, sizeof buffer, path.c_str());
            std::string value;
            int present = ReadIniValue(doc, l.section, l.key, &value);
            EXPECT_EQ(value, std::string(buffer, n));
            EXPECT_EQ(present, n > 0 ? 1 : 0);
            const char* found = nullptr;
            size_t length = 0;
            std::string inMemory;
            if (FindProfileValue(text.data(), text.size(), l.section, l.key, &found, &length))
                inMemory.assign(found, length);
            EXPECT_EQ(inMemory, std::string(buffer, n)) << "the updater's reader";
        }
    }
    DeleteFileA(path.c_str());
}

}  // namespace
