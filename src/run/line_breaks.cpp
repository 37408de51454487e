#include "run/line_breaks.h"

#include "support/cp932.h"

void ExpandLineBreaks(const char* text, char* out, size_t outSize)
{
    size_t length = 0;
    const char* p = text;
    while (*p) {
        int step = Cp932CharLength(p);
        if (step == 1 && p[0] == '\\' && p[1] == 'n') {
            if (length + 1 >= outSize)
                break;
            out[length++] = '\r';
            p += 2;
            continue;
        }
        if (length + (size_t)step >= outSize)
            break;
        for (int i = 0; i < step; ++i)
            out[length++] = p[i];
        p += step;
    }
    out[length] = '\0';
}
