// Which encoding a text is in, as fa2 build tells the publisher, and the line it points at.
#include <gtest/gtest.h>

#include <string>

#include "text_encoding.h"

namespace {

TEST(TextEncoding, TellsShiftJisFromWhatIsSavedOtherwise)
{
    struct Case {
        const char* what;
        std::string text;
        TextEncoding encoding;
        int line;
    } cases[] = {
        {"ascii", "[SETUP]\r\nGameDir=x\r\n", TextCp932, 1},
        {"empty", "", TextCp932, 1},
        {"cp932 with 5C trail bytes", "GameTitle=\x95\x5C\x8E\xA6\r\nDir=\x83\x5C\x83\x74\x83\x67\r\n", TextCp932, 1},
        {"half-width kana", "\xB1\xB2\xB3\n", TextCp932, 1},
        {"utf-8 on line 3", "[SETUP]\r\nA=b\r\nGameTitle=\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\r\n", TextUtf8, 3},
        {"utf-8 after LF lines", "a\nb\nc\n\xC3\xA9\n", TextUtf8, 4},
        {"utf-8 mark", "\xEF\xBB\xBF[SETUP]\r\n", TextUtf8Bom, 1},
        {"utf-16 mark", std::string("\xFF\xFE[\0S\0", 6), TextUtf16, 1},
        {"utf-16 without a mark", std::string("[\0S\0E\0", 6), TextUtf16, 1},
        {"utf-16 japanese without a mark", std::string("[\0S\0]\0\r\0\n\0" "B\x30" "=\0" "B\x30\r\0\n\0", 20), TextUtf16,
         1},
        {"cp932 with a NUL on line 2", std::string("[SETUP]\r\nGameTitle=\x95\x5C\0\r\nGameDir=x\r\n", 35),
         TextNulByte, 2},
        {"latin-1 on line 2", "x\r\ncaf\xE9 au lait\r\n", TextUnknown, 2},
        {"a lone lead byte at the end", "abc\x83", TextUnknown, 1},
        {"euc-jp that breaks shift-jis", "a\n\xFE\xA1\xA4\xA2\n", TextEucJp, 2},
        {"CR-only lines", "a\rb\r\x80\r", TextUnknown, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int line = 0;
        EXPECT_EQ(DetectTextEncoding((const unsigned char*)c.text.data(), c.text.size(), &line), c.encoding);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(EncodingProblem(DetectTextEncoding((const unsigned char*)c.text.data(), c.text.size(), &line))
                      .empty(),
                  c.encoding == TextCp932);
    }
    // Each message names what it found and how to save the text as Shift-JIS.
    for (TextEncoding e : {TextUtf8, TextUtf8Bom, TextUtf16, TextEucJp, TextUnknown}) {
        std::string text = EncodingProblem(e);
        EXPECT_NE(text.find("Shift-JIS (cp932)"), std::string::npos) << text;
        EXPECT_NE(text.find("save it as"), std::string::npos) << text;
    }
    EXPECT_NE(EncodingProblem(TextUtf8).find("UTF-8"), std::string::npos);
    EXPECT_NE(EncodingProblem(TextUtf16).find("UTF-16"), std::string::npos);
    EXPECT_NE(EncodingProblem(TextEucJp).find("EUC-JP"), std::string::npos);
    EXPECT_EQ(EncodingProblem(TextNulByte).find("UTF-16"), std::string::npos);
    EXPECT_NE(EncodingProblem(TextNulByte).find("NUL byte"), std::string::npos);
}

}  // namespace
