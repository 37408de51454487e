#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/list_token.h"

namespace {

struct Token {
    std::string text;
    int diskNo;
};

// Every token of `value` with CurrentDiskNo after each, starting from `startDisk`.
std::vector<Token> Tokens(std::string value, int startDisk = 7)
{
    std::vector<Token> tokens;
    CurrentDiskNo = startDisk;
    char* cursor = &value[0];
    char token[ListTokenSize];
    while (NextListToken(token, &cursor))
        tokens.push_back({token, CurrentDiskNo});
    return tokens;
}

struct ListCase {
    const char* value;
    std::vector<Token> expected;
};

class ListTokenCases : public testing::TestWithParam<ListCase> {};

TEST_P(ListTokenCases, SplitsAsExpected)
{
    std::vector<Token> got = Tokens(GetParam().value);
    ASSERT_EQ(got.size(), GetParam().expected.size()) << GetParam().value;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].text, GetParam().expected[i].text) << GetParam().value << " token " << i;
        EXPECT_EQ(got[i].diskNo, GetParam().expected[i].diskNo) << GetParam().value << " token " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListTokenCases,
    testing::Values(
        ListCase{"  a.bmp, b.bmp", {{"a.bmp", 7}, {"b.bmp", 7}}},
        ListCase{"2:disk2.dat,x.dat", {{"disk2.dat", 2}, {"x.dat", 2}}},
        ListCase{"1:a.dat, b.dat, 0:c.dat", {{"a.dat", 1}, {"b.dat", 1}, {"c.dat", 0}}},
        ListCase{"12:x", {{"12:x", 7}}},                       // only the second byte marks a prefix
        ListCase{"C:\\dir\\a.exe", {{"\\dir\\a.exe", 0}}},    // a drive letter reads as disk 0
        ListCase{"2: a", {{" a", 2}}},                        // no blanks skipped after the colon
        ListCase{"2:,x", {{"", 2}, {"x", 2}}},                // an empty token after a prefix still counts
        ListCase{"a ,b", {{"a ", 7}, {"b", 7}}},              // blanks before a separator are kept
        ListCase{"a,,b", {{"a", 7}}},                         // an empty item ends the list
        ListCase{"a,b,", {{"a", 7}, {"b", 7}}},
        ListCase{"a\r\nb", {{"a", 7}}},                       // CR ends the list: the next item is empty
        ListCase{"\t x", {{"x", 7}}},
        ListCase{",a", {}},
        ListCase{"", {}},
        ListCase{"   ", {}},
        // cp932: 表 is 95 5C, ソ is 83 5C; a 0x5C trail byte is no separator and no prefix.
        ListCase{"\x95\x5c\x8e\xa6.dat,\x83\x5c\x83\x74\x83\x67", {{"\x95\x5c\x8e\xa6.dat", 7}, {"\x83\x5c\x83\x74\x83\x67", 7}}}));

TEST(ListToken, NoTokenLeavesBufferAndCursorOnSeparator)
{
    std::string value = "  ,x";
    char* cursor = &value[0];
    char token[ListTokenSize] = "unchanged";
    EXPECT_EQ(NextListToken(token, &cursor), 0);
    EXPECT_STREQ(token, "unchanged");
    EXPECT_EQ(cursor, &value[2]);
}

TEST(ListToken, CursorStaysOnTerminatingNul)
{
    std::string value = "a";
    char* cursor = &value[0];
    char token[ListTokenSize];
    ASSERT_EQ(NextListToken(token, &cursor), 1);
    EXPECT_EQ(*cursor, '\0');
    EXPECT_EQ(NextListToken(token, &cursor), 0);
}

TEST(ListToken, LongItemIsCutOnCharacterBoundaryAndSkippedWhole)
{
    // 258 ASCII bytes then a double-byte character: 260 bytes do not fit, and the cut must not split 表.
    std::string item(258, 'a');
    item += "\x95\x5c";
    item += "tail";
    std::string value = item + ",next";
    char* cursor = &value[0];
    char token[ListTokenSize + 8];
    memset(token, 'Z', sizeof token);
    int cut = 0;
    ASSERT_EQ(NextListToken(token, &cursor, &cut), 1);
    EXPECT_EQ(cut, 1);
    EXPECT_EQ(std::string(token), std::string(258, 'a'));
    EXPECT_EQ(token[ListTokenSize], 'Z') << "wrote past the token buffer";
    ASSERT_EQ(NextListToken(token, &cursor, &cut), 1);
    EXPECT_STREQ(token, "next");
    EXPECT_EQ(cut, 0);
}

TEST(ListToken, BlankAndSeparatorClasses)
{
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(IsListBlank((unsigned char)c), c == 9 || c == 32) << c;
        EXPECT_EQ(IsListSeparator((unsigned char)c), c == 0 || c == 10 || c == 13 || c == 44) << c;
    }
}

}  // namespace
