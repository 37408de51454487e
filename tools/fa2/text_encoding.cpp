#include "text_encoding.h"

namespace {

int IsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
int IsTrail(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

// Offset of the first byte that breaks Shift-JIS, or `size` when there is none. NUL counts as breaking it: a
// settings file or a text the updater shows never holds one.
size_t FirstNonCp932(const unsigned char* text, size_t size)
{
    for (size_t i = 0; i < size;) {
        unsigned char c = text[i];
        if (c == 0 || c == 0x80 || c == 0xA0 || c >= 0xFD)
            return i;
        if (IsLead(c)) {
            if (i + 1 >= size || !IsTrail(text[i + 1]))
                return i;
            i += 2;
        } else {
            ++i;
        }
    }
    return size;
}

// 1 for valid UTF-8 (no overlong forms, no surrogates) holding at least one multi-byte character.
int IsMultiByteUtf8(const unsigned char* text, size_t size)
{
    int multiByte = 0;
    for (size_t i = 0; i < size;) {
        unsigned char c = text[i];
        size_t extra;
        unsigned long value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            value = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            value = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            value = c & 0x07;
        } else {
            return 0;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= size || (text[i + k] & 0xC0) != 0x80)
                return 0;
            value = (value << 6) | (text[i + k] & 0x3F);
        }
        if ((extra == 2 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
            (extra == 3 && (value < 0x10000 || value > 0x10FFFF)))
            return 0;
        multiByte = 1;
        i += extra + 1;
    }
    return multiByte;
}

int IsEucJp(const unsigned char* text, size_t size)
{
    for (size_t i = 0; i < size;) {
        unsigned char c = text[i];
        if (c == 0)
            return 0;
        if (c < 0x80) {
            ++i;
        } else if ((c == 0x8E && i + 1 < size && text[i + 1] >= 0xA1 && text[i + 1] <= 0xDF) ||
                   (c >= 0xA1 && c <= 0xFE && i + 1 < size && text[i + 1] >= 0xA1 && text[i + 1] <= 0xFE)) {
            i += 2;
        } else {
            return 0;
        }
    }
    return 1;
}

// UTF-16 without a byte-order mark: its ASCII (keys, section names, digits) leaves a NUL in every other byte, so
// at least a quarter of the bytes are NULs, nearly all in places of one parity.
int LooksLikeUtf16(const unsigned char* text, size_t size)
{
    size_t zeros[2] = {0, 0};
    for (size_t i = 0; i < size; ++i)
        zeros[i % 2] += text[i] == 0;
    size_t most = zeros[0] > zeros[1] ? zeros[0] : zeros[1];
    return most * 4 >= size && most >= (zeros[0] + zeros[1]) * 9 / 10;
}

int LineOf(const unsigned char* text, size_t offset)
{
    int line = 1;
    for (size_t i = 0; i < offset; ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= offset || text[i + 1] != '\n')))
            ++line;
    return line;
}

}  // namespace

TextEncoding DetectTextEncoding(const unsigned char* text, size_t size, int* line)
{
    *line = 1;
    if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF)
        return TextUtf8Bom;
    if (size >= 2 && ((text[0] == 0xFF && text[1] == 0xFE) || (text[0] == 0xFE && text[1] == 0xFF)))
        return TextUtf16;
    // UTF-8 first: Japanese saved as UTF-8 is often Shift-JIS byte for byte as well, just other characters.
    size_t firstUtf8 = size;
    for (size_t i = 0; i < size; ++i)
        if (text[i] >= 0x80) {
            firstUtf8 = i;
            break;
        }
    if (IsMultiByteUtf8(text, size)) {
        *line = LineOf(text, firstUtf8);
        return TextUtf8;
    }
    size_t bad = FirstNonCp932(text, size);
    if (bad == size)
        return TextCp932;
    *line = LineOf(text, bad);
    if (text[bad] == 0)
        return LooksLikeUtf16(text, size) ? TextUtf16 : TextNulByte;
    return IsEucJp(text, size) ? TextEucJp : TextUnknown;
}

std::string EncodingProblem(TextEncoding encoding)
{
    const char* how = "save it as Shift-JIS (cp932): in Notepad or another editor choose the encoding "
                      "\"Shift_JIS\" (\"ANSI\" on a Japanese Windows) when saving, or convert it with iconv -t CP932";
    switch (encoding) {
        case TextCp932:
            return "";
        case TextUtf8:
            return std::string("the text is UTF-8, not Shift-JIS (cp932), so the updater would show it garbled; ") +
                   how + " -f UTF-8";
        case TextUtf8Bom:
            return std::string("the text is UTF-8 with a byte-order mark, not Shift-JIS (cp932), so the updater "
                               "would show it garbled; ") + how + " -f UTF-8 (and without a byte-order mark)";
        case TextUtf16:
            return std::string("the text is UTF-16 (\"Unicode\"), not Shift-JIS (cp932), which the updater cannot "
                               "read; ") + how + " -f UTF-16";
        case TextNulByte:
            return "the text holds a NUL byte, where the updater would stop reading it; remove it (an editor that "
                   "shows control characters finds it)";
        case TextEucJp:
            return std::string("the text looks like EUC-JP, not Shift-JIS (cp932), so the updater would show it "
                               "garbled; ") + how + " -f EUC-JP";
        case TextUnknown:
            break;
    }
    return std::string("the text is not Shift-JIS (cp932) (another encoding, perhaps Windows-1252 or Latin-1, "
                       "or a damaged file), so the updater would show it garbled; ") + how;
}
