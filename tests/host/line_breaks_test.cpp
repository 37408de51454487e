#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "run/line_breaks.h"

namespace {

TEST(ExpandLineBreaks, Cases)
{
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"1行目\\n2行目", "1行目\r2行目"},
        {"表n", "表n"},              // 表 is 95 5C: its trail byte never starts an escape
        {"\x95\x5cn", "\x95\x5cn"},
        {"a\\\\n", "a\\\r"},         // the first backslash is copied, the second pairs with n
        {"a\\r\\t\\", "a\\r\\t\\"},  // no other escape exists
        {"", ""},
        {"\\n\\n", "\r\r"},
    };
    for (const auto& c : cases) {
        char out[1024];
        ExpandLineBreaks(c.in, out, sizeof out);
        EXPECT_EQ(std::string(out), c.out) << c.in;
    }
}

TEST(ExpandLineBreaks, StopsAtNulAfterLoneLeadByteAndWithinBuffer)
{
    char in[4] = {'a', '\x95', '\0', 'X'};
    char out[8];
    memset(out, 'Z', sizeof out);
    ExpandLineBreaks(in, out, sizeof out);
    EXPECT_STREQ(out, "a\x95");

    memset(out, 'Z', sizeof out);
    ExpandLineBreaks("abc表def", out, 5);  // room for 4 bytes: "abc" and not half of 表
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[5], 'Z');
}

}  // namespace
