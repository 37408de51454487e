#include "relative_path.h"

#include <cstddef>
#include <cstring>

#include "cp932.h"

namespace {

int IsSeparator(const char* p)
{
    return *p == '\\' || *p == '/';
}

// Length of the component at `p`, up to the next separator or the end; a trail byte 0x5C belongs to its character.
size_t ComponentLength(const char* p)
{
    size_t length = 0;
    while (p[length] && !IsSeparator(p + length))
        length += (size_t)Cp932CharLength(p + length);
    return length;
}

int IsDotsOnly(const char* p, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (p[i] != '.')
            return 0;
    return length > 0;
}

int EqualsAsciiNoCase(const char* p, size_t length, const char* word)
{
    if (strlen(word) != length)
        return 0;
    for (size_t i = 0; i < length; ++i) {
        char a = p[i], b = word[i];
        if (a >= 'a' && a <= 'z')
            a = (char)(a - 'a' + 'A');
        if (a != b)
            return 0;
    }
    return 1;
}

// The system resolves these names to devices in any folder, whatever follows the first dot, and ignores blanks
// before it. COM and LPT also count with the superscript digits, whose byte a 932 text turns into on code page 1252
// (0xB9, 0xB2, 0xB3 are half-width katakana in 932).
int IsDeviceName(const char* p, size_t length)
{
    size_t base = 0;
    while (base < length && p[base] != '.')
        ++base;
    while (base > 0 && p[base - 1] == ' ')
        --base;
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : plain)
        if (EqualsAsciiNoCase(p, base, word))
            return 1;
    if (base == 4 && (EqualsAsciiNoCase(p, 3, "COM") || EqualsAsciiNoCase(p, 3, "LPT"))) {
        unsigned char digit = (unsigned char)p[3];
        return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return 0;
}

}  // namespace

int IsPathInsideFolder(const char* path)
{
    if (IsSeparator(path))
        return 0;
    for (const char* p = path; *p; p += Cp932CharLength(p))
        if (*p == ':')
            return 0;
    for (const char* p = path; *p;) {
        size_t length = ComponentLength(p);
        if (IsDotsOnly(p, length) && length != 1)
            return 0;
        if (IsDeviceName(p, length))
            return 0;
        p += length;
        if (*p)
            ++p;
    }
    return 1;
}

int NamesWholeDisc(const char* path)
{
    for (const char* p = path; *p;) {
        size_t length = ComponentLength(p);
        int nothing = length == 0 || IsDotsOnly(p, length) || (length == 1 && p[0] == '*') ||
                      (length == 3 && memcmp(p, "*.*", 3) == 0);
        if (!nothing)
            return 0;
        p += length;
        if (*p)
            ++p;
    }
    return 1;
}
