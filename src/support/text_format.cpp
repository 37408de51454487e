#include "text_format.h"

#include <cstring>

#include "cp932.h"

namespace {

struct Output {
    char* out;
    size_t limit;  // bytes available for text, the NUL excluded
    size_t length;
    int full;
};

// Appends whole characters only, so a cut never leaves a lone lead byte.
void Put(Output& o, const char* text, size_t length)
{
    if (o.full)
        return;
    size_t room = o.limit - o.length;
    size_t take = length;
    if (take > room) {
        take = Cp932CutLength(text, (unsigned)length, (unsigned)room);
        o.full = 1;
    }
    memcpy(o.out + o.length, text, take);
    o.length += take;
}

void PutPadded(Output& o, const char* text, size_t length, int width, int leftAlign, char pad)
{
    size_t padding = width > 0 && (size_t)width > length ? (size_t)width - length : 0;
    if (!leftAlign && pad == '0' && length > 0 && text[0] == '-') {
        // Zero padding goes between the sign and the digits.
        Put(o, text, 1);
        for (size_t i = 0; i < padding; ++i)
            Put(o, "0", 1);
        Put(o, text + 1, length - 1);
        return;
    }
    if (!leftAlign)
        for (size_t i = 0; i < padding; ++i)
            Put(o, &pad, 1);
    Put(o, text, length);
    if (leftAlign)
        for (size_t i = 0; i < padding; ++i)
            Put(o, " ", 1);
}

size_t UnsignedDigits(char* buffer, uint64_t value)
{
    char reversed[24];
    size_t n = 0;
    do {
        reversed[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; ++i)
        buffer[i] = reversed[n - 1 - i];
    return n;
}

}  // namespace

int FormatTextArgs(char* out, size_t outSize, const char* format, const FormatArg* args, int argCount)
{
    Output o{out, outSize - 1, 0, 0};
    int next = 0;
    const char* p = format;
    while (*p && !o.full) {
        if (*p != '%') {
            int step = Cp932CharLength(p);
            Put(o, p, (size_t)step);
            p += step;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            Put(o, "%", 1);
            ++p;
            continue;
        }
        int leftAlign = 0;
        char pad = ' ';
        for (;; ++p) {
            if (*p == '-')
                leftAlign = 1;
            else if (*p == '0')
                pad = '0';
            else
                break;
        }
        int width = 0;
        while (*p >= '0' && *p <= '9') {
            if (width < 1000)
                width = width * 10 + (*p - '0');
            ++p;
        }
        FormatArgKind wanted;
        char type = *p;
        if (type == 'I' && p[1] == '6' && p[2] == '4' && p[3] == 'u') {
            wanted = FormatArgU64;
            p += 4;
        } else if (type == 's') {
            wanted = FormatArgText;
            ++p;
        } else if (type == 'i' || type == 'd' || type == 'u') {
            wanted = FormatArgInt;
            ++p;
        } else {
            // Not a conversion we know: show it as written.
            Put(o, start, (size_t)(p - start));
            continue;
        }
        if (next >= argCount || args[next].kind != wanted) {
            // A mismatched argument still takes its place, so the ones after it stay in line.
            if (next < argCount)
                ++next;
            Put(o, start, (size_t)(p - start));
            continue;
        }
        const FormatArg& a = args[next++];
        char digits[24];
        size_t n;
        switch (wanted) {
        case FormatArgText:
            PutPadded(o, a.text, strlen(a.text), width, leftAlign, ' ');
            break;
        case FormatArgInt:
            if (type == 'u') {
                n = UnsignedDigits(digits, (uint32_t)a.number);
            } else if (a.number < 0) {
                digits[0] = '-';
                n = 1 + UnsignedDigits(digits + 1, (uint64_t)(-(int64_t)a.number));
            } else {
                n = UnsignedDigits(digits, (uint64_t)a.number);
            }
            PutPadded(o, digits, n, width, leftAlign, pad);
            break;
        case FormatArgU64:
            n = UnsignedDigits(digits, a.big);
            PutPadded(o, digits, n, width, leftAlign, pad);
            break;
        }
    }
    out[o.length] = '\0';
    return (int)o.length;
}
