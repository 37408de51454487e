#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/decimal.h"
#include "support/disk_math.h"
#include "support/text_format.h"

namespace {

TEST(Cp932Literals, TrailByte5CSurvivesCompilation)
{
    EXPECT_EQ(std::string("表示"), std::string("\x95\x5c\x8e\xa6"));
    EXPECT_EQ(std::string("ソフト"), std::string("\x83\x5c\x83\x74\x83\x67"));
}

TEST(FormatText, SystemConversions)
{
    char out[1024];
    struct Case {
        std::string got;
        const char* expected;
    } cases[] = {
        {(FormatText(out, sizeof out, "UpdateFile%02i", 0), out), "UpdateFile00"},
        {(FormatText(out, sizeof out, "UpdateFile%02i", 15), out), "UpdateFile15"},
        {(FormatText(out, sizeof out, "InstallTitle%i", 3), out), "InstallTitle3"},
        {(FormatText(out, sizeof out, "%i", -5), out), "-5"},
        {(FormatText(out, sizeof out, "%03i", -5), out), "-05"},
        {(FormatText(out, sizeof out, "%i", INT32_MIN), out), "-2147483648"},
        {(FormatText(out, sizeof out, "100%%"), out), "100%"},
        {(FormatText(out, sizeof out, "%s : %s キーが存在しません", "SETUP", "GameDir"), out),
         "SETUP : GameDir キーが存在しません"},
        {(FormatText(out, sizeof out, "%I64u", (uint64_t)8192000000ULL), out), "8192000000"},
        {(FormatText(out, sizeof out, "[%-4s]", "ab"), out), "[ab  ]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.expected);
}

TEST(FormatText, ConversionWithoutArgumentIsShownAsWritten)
{
    char out[64];
    FormatText(out, sizeof out, "title %s and %i");
    EXPECT_STREQ(out, "title %s and %i");
    // A mismatched kind is not read either.
    FormatText(out, sizeof out, "%s|%i", 5, "x");
    EXPECT_STREQ(out, "%s|%i");
    FormatText(out, sizeof out, "50%");
    EXPECT_STREQ(out, "50%");
}

TEST(FormatText, CutsOnCharacterBoundaryWithinBuffer)
{
    char out[8];
    memset(out, 'Z', sizeof out);
    // "ab" + 表示 + "c": 7 bytes of room; the cut must not keep 表's lead byte alone.
    int length = FormatText(out, 6, "ab%sc", "表示");
    EXPECT_EQ(length, 4);
    EXPECT_STREQ(out, "ab\x95\x5c");
    EXPECT_EQ(out[6], 'Z');

    char big[1024];
    std::string huge(5000, 'x');
    EXPECT_EQ(FormatText(big, sizeof big, "%s", huge.c_str()), 1023);
    EXPECT_EQ(big[1023], '\0');
}

TEST(Decimal, SignedSaturatesAndStopsAtFirstOtherByte)
{
    struct {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"12abc", 12}, {"abc", 0}, {"  42  ", 42}, {"-5", -5}, {"+7", 7}, {" 2", 2},
        {"4294967297", INT32_MAX}, {"-4294967297", INT32_MIN}, {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"99999999999999999999999", INT32_MAX}, {"", 0}, {"-", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseSignedDecimal(c.text), c.expected) << c.text;
}

TEST(Decimal, Unsigned64)
{
    EXPECT_EQ(ParseUnsignedDecimal64("123456789012"), 123456789012ULL);
    EXPECT_EQ(ParseUnsignedDecimal64(" 18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseUnsignedDecimal64("99999999999999999999999"), UINT64_MAX);
    EXPECT_EQ(ParseUnsignedDecimal64("-1"), UINT64_MAX);
    EXPECT_EQ(ParseUnsignedDecimal64("x"), 0u);
}

TEST(Decimal, ByteCountReadsNegativesAsUnsigned32AndLargeValuesInFull)
{
    struct {
        const char* text;
        uint64_t expected;
    } cases[] = {
        {"2000000", 2000000}, {"  +700000", 700000}, {"\t-1", 4294967295ull}, {"-2147483648", 2147483648ull},
        {"5000000000", 5000000000ull}, {"12abc", 12}, {"abc", 0}, {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseByteCount(c.text), c.expected) << c.text;
}

TEST(DiskMath, FallbackProductIsFull64Bit)
{
    EXPECT_EQ(ClusterBytes(8, 512, 2000000), 8192000000ULL);
    EXPECT_EQ(ClusterBytes(0xFFFFFFFFu, 0xFFFFFFFFu, 1), 0xFFFFFFFE00000001ULL);
}

}  // namespace
