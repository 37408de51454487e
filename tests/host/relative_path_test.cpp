#include <gtest/gtest.h>

#include "support/relative_path.h"

namespace {

struct PathCase {
    const char* path;
    int inside;
};

TEST(IsPathInsideFolder, RefusesWhatLeavesTheFolderOrReachesADevice)
{
    const PathCase cases[] = {
        {"", 1},
        {"a.dat", 1},
        {"sub\\a.dat", 1},
        {".\\a.dat", 1},
        {"sub/a.dat", 1},
        {"a..b.dat", 1},
        {"..a", 1},
        {"CONFIG.SYS", 1},
        {"COM10", 1},
        {"LPT0.txt", 1},
        {"xNUL", 1},
        {"NULx.dat", 1},
        {"\x95\x5c\\a.dat", 1},       // 表 ends in 0x5C: one component, not a separator
        {"\x95\x5c.\\a.dat", 1},      // 表. is no dots-only component
        {"..\\..\\..\\windows\\evil.dll", 0},
        {"sub\\..\\..\\x", 0},
        {"..", 0},
        {"...", 0},
        {"a\\....\\b", 0},
        {"sub/../x", 0},
        {"\\windows\\x.dll", 0},
        {"/etc/x", 0},
        {"\\\\server\\share\\x", 0},
        {"C:\\windows\\x", 0},
        {"C:x", 0},
        {"a.dat:stream", 0},
        {"sub\\a.dat::$DATA", 0},
        {"CON", 0},
        {"con.txt", 0},
        {"sub\\NUL", 0},
        {"nul.dat", 0},
        {"AUX.txt", 0},
        {"PRN", 0},
        {"COM1", 0},
        {"com9.log", 0},
        {"LPT1", 0},
        {"lpt5.x.y", 0},
        {"CON .txt", 0},
        {"NUL.", 0},
        {"CONIN$", 0},
        {"conout$.x", 0},
        {"NUL\\a.dat", 0},
        {"COM\xb9", 0},  // on code page 1252 this byte is a superscript one
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(IsPathInsideFolder(c.path), c.inside) << c.path;
}

TEST(NamesWholeDisc, OnlyPathsThatNameNothingBelowTheRoot)
{
    const PathCase cases[] = {
        {"", 1},     {"\\", 1},        {".", 1},        {".\\.", 1},         {"*", 1},
        {"*.*", 1},  {"\\*.*", 1},     {"./*", 1},      {"..", 1},           {"movie", 0},
        {"*.dat", 0}, {"DATA\\*.*", 0}, {"a\\..", 0},    {"\x95\x5c", 0},     {"movie\\", 0},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(NamesWholeDisc(c.path), c.inside) << c.path;
}

}  // namespace
