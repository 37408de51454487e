// The paths a journal may name: the next start acts elevated on each of them.
#include <gtest/gtest.h>

#include "job/job_scope.h"

namespace {

TEST(JobScope, OnlyPathsJoinedBelowTheJobsFoldersAreWithin)
{
    struct {
        const char* folder;
        const char* path;
        int folderItself;
        int within;
    } cases[] = {
        {"C:\\Games\\X", "C:\\Games\\X\\a.dat", 0, 1},
        {"C:\\Games\\X", "C:\\Games\\X\\sub\\~ABCDEF00001", 0, 1},
        {"C:\\Games\\X\\", "C:\\Games\\X\\a.dat", 0, 1},          // the folder's closing separator
        {"c:/games/x", "C:\\Games\\X\\a.dat", 0, 1},              // case and separators
        {"C:\\", "C:\\a.dat", 0, 1},                               // a drive's root
        {"C:\\Games\\X", "C:\\Games\\X", 1, 1},                    // a folder time of the folder itself
        {"C:\\Games\\X", "C:\\Games\\X\\", 1, 1},
        {"C:\\Games\\X", "C:\\Games\\X", 0, 0},
        {"C:\\Games\\X", "C:\\Windows\\victim.dll", 0, 0},
        {"C:\\Games\\X", "C:\\Program Files\\lib.dll", 0, 0},
        {"C:\\Games\\X", "C:\\Games\\XY\\a.dat", 0, 0},            // a sibling folder sharing the prefix
        {"C:\\Games\\X", "C:\\Games\\X\\..\\..\\Windows\\a.dll", 0, 0},
        {"C:\\Games\\X", "C:\\Games\\X\\sub\\..\\..\\a.dll", 0, 0},
        {"C:\\Games\\X", "C:\\Games\\X\\\\server\\a", 0, 0},       // absolute after the folder
        {"C:\\Games\\X", "C:\\Games\\X\\a.dat:stream", 0, 0},
        {"C:\\Games\\X", "C:\\Games\\X\\CON", 0, 0},
        {"C:\\Games\\X", "C:\\Games\\X\\sub\\", 0, 0},
        {"", "a.dat", 0, 0},                                       // no data folder holds nothing
        {"", "", 1, 0},
        // 表 ends in the byte 0x5C: no separator, and a double-byte character matches only itself.
        {"C:\\\x95\x5c", "C:\\\x95\x5c\\a.dat", 0, 1},
        {"C:\\\x95\x5c", "C:\\\x95\x5c" "a.dat", 0, 0},
        {"C:\\\x95\x5c", "C:\\\x95\x7c\\a.dat", 0, 0},
        {"C:\\\x95\x41", "C:\\\x95\x61\\a.dat", 0, 0},  // a trail byte is no letter to fold
    };
    for (const auto& c : cases)
        EXPECT_EQ(JournalPathWithin(c.folder, c.path, c.folderItself), c.within) << c.folder << " | " << c.path;
}

TEST(JobScope, FoldersCompareAsTheSameFolderOnly)
{
    struct {
        const char* a;
        const char* b;
        int same;
    } cases[] = {
        {"C:\\Games\\X", "C:\\Games\\X", 1},
        {"C:\\Games\\X", "c:/games/x/", 1},
        {"", "", 1},
        {"C:\\Games\\X", "E:\\Games\\X", 0},  // the drive letter changed
        {"C:\\Games\\X", "C:\\Games\\X2", 0},
        {"C:\\Games\\X", "", 0},
        {"C:\\\x95\x5c", "C:\\\x95", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameJournalFolder(c.a, c.b), c.same) << c.a << " | " << c.b;
        EXPECT_EQ(SameJournalFolder(c.b, c.a), c.same) << c.b << " | " << c.a;
    }
}

TEST(JobScope, StagedAndBackupNamesCarryTheJobsTag)
{
    const uint64_t tag = 10 * 36 * 36 * 36 * 36 * 36ull + 35;  // "A0000Z"
    struct {
        const char* path;
        int ours;
    } cases[] = {
        {"C:\\G\\~A0000Z00001", 1},
        {"C:\\G\\sub\\~A0000ZZZZZZ", 1},
        {"~A0000Z00000", 1},
        {"C:\\G\\~A0000Y00001", 0},   // another job's
        {"C:\\G\\~a0000z00001", 0},   // not as the job writes it
        {"C:\\G\\A0000Z000011", 0},
        {"C:\\G\\~A0000Z0001", 0},
        {"C:\\G\\~A0000Z000001", 0},
        {"C:\\G\\~A0000Z0000.", 0},
        {"C:\\Windows\\victim.dll", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsJobSiblingName(c.path, tag), c.ours) << c.path;
}

}  // namespace
