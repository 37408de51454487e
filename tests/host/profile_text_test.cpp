#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/profile_text.h"

namespace {

struct ValueCase {
    const char* why;
    std::string text;
    const char* section;
    const char* key;
    int found;
    std::string value;
};

// What the system's profile functions give for a settings file with this text.
TEST(FindProfileValue, ReadsAsTheProfileFunctionsDo)
{
    const ValueCase cases[] = {
        {"plain", "[SETUP]\r\nA=1\r\n", "SETUP", "A", 1, "1"},
        {"names ignore ASCII case", "[setup]\r\nGameDir=x\r\n", "SETUP", "GAMEDIR", 1, "x"},
        {"asked names are trimmed", "[SETUP]\r\nA=1\r\n", " SETUP ", "\tA ", 1, "1"},
        {"LF lines", "[S]\nA=1\nB=2\n", "S", "B", 1, "2"},
        {"CR lines", "[S]\rA=1\rB=2", "S", "B", 1, "2"},
        {"blanks around name and value", "[ S ]\r\n  A  =  x y \t\r\n", "S", "A", 1, "x y"},
        {"one pair of quotes goes", "[S]\r\nA=\"  abc  \"\r\n", "S", "A", 1, "  abc  "},
        {"single quotes too", "[S]\r\nA='x'\r\n", "S", "A", 1, "x"},
        {"unmatched quotes stay", "[S]\r\nA=\"x'\r\n", "S", "A", 1, "\"x'"},
        {"a lone quote stays", "[S]\r\nA=\"\r\n", "S", "A", 1, "\""},
        {"a comment after a value is part of it", "[S]\r\nA=x ; note\r\n", "S", "A", 1, "x ; note"},
        {"comment lines", "[S]\r\n;A=1\r\n  ; B=2\r\nA=3\r\n", "S", "A", 1, "3"},
        {"the first of a repeated key", "[S]\r\nA=1\r\nA=2\r\n", "S", "A", 1, "1"},
        {"a repeated section is never read", "[S]\r\nA=1\r\n[T]\r\n[S]\r\nB=2\r\n", "S", "B", 0, ""},
        {"a key line without '=' hides a later value", "[S]\r\nA\r\nA=1\r\n", "S", "A", 0, ""},
        {"an empty value", "[S]\r\nA=\r\n", "S", "A", 1, ""},
        {"missing key", "[S]\r\nA=1\r\n", "S", "B", 0, ""},
        {"missing section", "[S]\r\nA=1\r\n", "T", "A", 0, ""},
        {"keys of another section", "[T]\r\nA=1\r\n[S]\r\n", "S", "A", 0, ""},
        {"keys before any header", "A=1\r\n[S]\r\nA=2\r\n", "", "A", 1, "1"},
        {"a '[' without ']' is a key line", "[S]\r\n[A=1\r\n", "S", "[A", 1, "1"},
        {"a UTF-8 byte-order mark", "\xEF\xBB\xBF[S]\r\nA=1\r\n", "S", "A", 1, "1"},
        {"the DOS end-of-file byte is a blank", "[S]\r\nA=1\x1A", "S", "A", 1, "1"},
        {"cp932 names and values, 0x5C trail bytes", "[\x95\x5c]\r\n\x83\x5c=C:\\\x95\x5c\\\r\n", "\x95\x5c",
         "\x83\x5c", 1, "C:\\\x95\x5c\\"},
        // Ａ is 82 60: a trail byte that is an ASCII letter is compared exactly, never folded.
        {"trail bytes never fold", "[S]\r\n\x82\x60=1\r\n", "S", "\x82\x40", 0, ""},
        {"a value ending with the text", "[S]\r\nA=last", "S", "A", 1, "last"},
    };
    for (const ValueCase& c : cases) {
        const char* value = nullptr;
        size_t length = 0;
        int found = FindProfileValue(c.text.data(), c.text.size(), c.section, c.key, &value, &length);
        EXPECT_EQ(found, c.found) << c.why;
        if (found && c.found) {
            EXPECT_EQ(std::string(value, length), c.value) << c.why;
        }
    }
}

TEST(NextProfileLine, LineNumbersCountEveryLine)
{
    std::string text = "; head\r\n\r\n[SETUP]\nA=1\rB\r\n";
    ProfileCursor cursor = {0, 0};
    ProfileLine line;
    std::vector<int> numbers;
    while (NextProfileLine(text.data(), text.size(), &cursor, &line))
        numbers.push_back(line.lineNumber);
    EXPECT_EQ(numbers, (std::vector<int>{3, 4, 5}));
}

}  // namespace
