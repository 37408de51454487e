#include "list_token.h"

#include "cp932.h"

int CurrentDiskNo = 0;

int IsListBlank(unsigned char c)
{
    return c == '\t' || c == ' ';
}

int IsListSeparator(unsigned char c)
{
    return c == '\0' || c == '\n' || c == '\r' || c == ',';
}

int NextListToken(char* token, char** cursor, int* wasCut)
{
    char* p = *cursor;
    while (IsListBlank((unsigned char)*p))
        ++p;
    *cursor = p;
    if (IsListSeparator((unsigned char)*p))
        return 0;

    // Only the second byte is tested: "12:x" has no prefix, "C:\dir" is disk 0.
    if (p[1] == ':') {
        CurrentDiskNo = (p[0] >= '0' && p[0] <= '9') ? p[0] - '0' : 0;
        p += 2;
    }

    // No trail byte of cp932 equals a separator, so the item's end can be found byte by byte.
    char* end = p;
    while (!IsListSeparator((unsigned char)*end))
        ++end;

    unsigned length = (unsigned)(end - p);
    unsigned kept = Cp932CutLength(p, length, ListTokenSize - 1);
    for (unsigned i = 0; i < kept; ++i)
        token[i] = p[i];
    token[kept] = '\0';
    if (wasCut)
        *wasCut = kept < length;

    *cursor = (*end == '\0') ? end : end + 1;
    return 1;
}
