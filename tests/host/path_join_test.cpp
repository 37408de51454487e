#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/path_join.h"

namespace {

struct JoinCase {
    const char* path;
    const char* name;
    const char* expected;
};

class AppendPathNameCases : public testing::TestWithParam<JoinCase> {};

TEST_P(AppendPathNameCases, JoinsWithOneSeparatorAndTwoNuls)
{
    char buffer[PathBufferSize];
    memset(buffer, 'Z', sizeof buffer);
    strcpy(buffer, GetParam().path);
    ASSERT_EQ(AppendPathName(buffer, sizeof buffer, GetParam().name), 1);
    EXPECT_STREQ(buffer, GetParam().expected);
    EXPECT_EQ(buffer[strlen(GetParam().expected) + 1], '\0') << "second NUL missing";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AppendPathNameCases,
    testing::Values(JoinCase{"C:\\Game", "SETUP.INI", "C:\\Game\\SETUP.INI"},
                    JoinCase{"C:\\Game\\", "SETUP.INI", "C:\\Game\\SETUP.INI"},
                    JoinCase{"C:/Game/", "SETUP.INI", "C:/Game/SETUP.INI"},
                    JoinCase{"", "x", "x"},
                    JoinCase{"C:\\Game", "", "C:\\Game\\"},
                    // A folder ending in 表 (95 5C) still needs its separator: the 5C is a trail byte.
                    JoinCase{"C:\\\x95\x5c", "a.dat", "C:\\\x95\x5c\\a.dat"},
                    JoinCase{"C:\\\x95\x5c\\", "a.dat", "C:\\\x95\x5c\\a.dat"}));

TEST(AppendPathName, RefusesWhatDoesNotFitAndLeavesPathUnchanged)
{
    // 250 + "\" + 7 + two NULs = 260 fits exactly; one more byte does not.
    std::string folder(250, 'f');
    char buffer[PathBufferSize + 4];
    memset(buffer, 'Z', sizeof buffer);
    strcpy(buffer, folder.c_str());
    EXPECT_EQ(AppendPathName(buffer, PathBufferSize, "abcdefg"), 1);
    EXPECT_EQ(buffer[PathBufferSize], 'Z');

    strcpy(buffer, folder.c_str());
    EXPECT_EQ(AppendPathName(buffer, PathBufferSize, "abcdefgh"), 0);
    EXPECT_EQ(std::string(buffer), folder);
    EXPECT_EQ(buffer[PathBufferSize], 'Z');
}

TEST(EndsWithPathSeparator, LooksAtTheLastCharacter)
{
    EXPECT_TRUE(EndsWithPathSeparator("C:\\"));
    EXPECT_TRUE(EndsWithPathSeparator("a/"));
    EXPECT_FALSE(EndsWithPathSeparator(""));
    EXPECT_FALSE(EndsWithPathSeparator("\x83\x5c"));  // ソ
    // A lone lead byte before the NUL must not step past the end.
    EXPECT_FALSE(EndsWithPathSeparator("a\x95"));
}

}  // namespace

namespace {

TEST(IsAbsolutePath, DriveRootsAndSharesOnly)
{
    struct {
        const char* path;
        int absolute;
    } cases[] = {{"C:\\Games", 1}, {"c:/Games", 1}, {"\\\\server\\share", 1}, {"C:", 0}, {"C:Games", 0},
                 {"Games\\X", 0}, {"\\Games", 0}, {"", 0}, {"1:\\x", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(IsAbsolutePath(c.path), c.absolute) << c.path;
}

}  // namespace

namespace {

TEST(PathDriveText, FirstTwoBytesAndWhetherTheyNameADrive)
{
    struct {
        const char* path;
        const char* drive;
        int isDrive;
    } cases[] = {{"C:\\Games\\X", "C:", 1}, {"f:", "f:", 1}, {"\\\\server\\share", "\\\\", 0},
                 {"1:\\x", "1:", 0},       {"C", "C", 0},   {"", "", 0}};
    for (const auto& c : cases) {
        char drive[3] = {'Z', 'Z', 'Z'};
        EXPECT_EQ(PathDriveText(c.path, drive), c.isDrive) << c.path;
        EXPECT_STREQ(drive, c.drive) << c.path;
    }
}

TEST(FolderPartLength, UpToTheLastRealSeparator)
{
    struct {
        const char* path;
        size_t folder;
    } cases[] = {
        {"C:\\Games\\a.dat", 9}, {"C:\\Games\\", 9}, {"D:\\wild\\*.dat", 8}, {"a.dat", 0}, {"", 0},
        {"C:a.dat", 2},          {"sub/a.dat", 4},
        {"C:\\\x95\x5c" "a.dat", 3},  // the 5C of 表 is a trail byte, no separator
    };
    for (const auto& c : cases)
        EXPECT_EQ(FolderPartLength(c.path), c.folder) << c.path;
}

}  // namespace
