#include "profile_text.h"

#include <cstring>

#include "cp932.h"

namespace {

int IsProfileBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A;
}

void Trim(const char* text, size_t* begin, size_t* end)
{
    while (*begin < *end && IsProfileBlank((unsigned char)text[*begin]))
        ++*begin;
    while (*end > *begin && IsProfileBlank((unsigned char)text[*end - 1]))
        --*end;
}

unsigned char AsciiLower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

// A "[...]" line with its closing bracket; blanks inside the brackets do not belong to the name.
int ReadSectionHeader(const char* text, size_t begin, size_t end, ProfileLine* line)
{
    if (text[begin] != '[')
        return 0;
    size_t close = end;
    while (close > begin + 1 && text[close - 1] != ']')
        --close;
    if (close <= begin + 1)
        return 0;  // a '[' without ']' is an ordinary key line
    size_t nameBegin = begin + 1, nameEnd = close - 1;
    Trim(text, &nameBegin, &nameEnd);
    line->isSection = 1;
    line->name = text + nameBegin;
    line->nameLength = nameEnd - nameBegin;
    line->value = nullptr;
    line->valueLength = 0;
    return 1;
}

void ReadKeyLine(const char* text, size_t begin, size_t end, ProfileLine* line)
{
    line->isSection = 0;
    const char* equals = (const char*)memchr(text + begin, '=', end - begin);
    if (!equals) {
        line->name = text + begin;
        line->nameLength = end - begin;
        line->value = nullptr;
        line->valueLength = 0;
        return;
    }
    size_t nameBegin = begin, nameEnd = (size_t)(equals - text);
    size_t valueBegin = nameEnd + 1, valueEnd = end;
    Trim(text, &nameBegin, &nameEnd);
    Trim(text, &valueBegin, &valueEnd);
    line->name = text + nameBegin;
    line->nameLength = nameEnd - nameBegin;
    line->value = text + valueBegin;
    line->valueLength = valueEnd - valueBegin;
}

// `name` with the blanks around it left out, as the profile functions take the names they are asked for.
void TrimmedName(const char* name, const char** begin, size_t* length)
{
    size_t b = 0, e = strlen(name);
    Trim(name, &b, &e);
    *begin = name + b;
    *length = e - b;
}

}  // namespace

int ProfileNamesEqual(const char* a, size_t aLength, const char* b, size_t bLength)
{
    if (aLength != bLength)
        return 0;
    for (size_t i = 0; i < aLength; ++i) {
        unsigned char ca = (unsigned char)a[i], cb = (unsigned char)b[i];
        if (IsCp932LeadByte(ca) && i + 1 < aLength) {
            // The trail byte may look like an ASCII letter; it is compared exactly.
            if (ca != cb || a[i + 1] != b[i + 1])
                return 0;
            ++i;
            continue;
        }
        if (AsciiLower(ca) != AsciiLower(cb))
            return 0;
    }
    return 1;
}

int NextProfileLine(const char* text, size_t size, ProfileCursor* cursor, ProfileLine* line)
{
    if (cursor->at == 0 && size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0)
        cursor->at = 3;
    while (cursor->at < size) {
        ++cursor->lineNumber;
        size_t begin = cursor->at, end = begin;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        // CR, LF and CRLF each end one line.
        cursor->at = end;
        if (end < size)
            cursor->at += (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') ? 2 : 1;
        Trim(text, &begin, &end);
        if (begin == end || text[begin] == ';')
            continue;
        line->lineNumber = cursor->lineNumber;
        if (!ReadSectionHeader(text, begin, end, line))
            ReadKeyLine(text, begin, end, line);
        return 1;
    }
    return 0;
}

int FindProfileValue(const char* text, size_t size, const char* section, const char* key, const char** value,
                     size_t* length)
{
    const char *sectionName, *keyName;
    size_t sectionLength, keyLength;
    TrimmedName(section, &sectionName, &sectionLength);
    TrimmedName(key, &keyName, &keyLength);

    // Keys before the first header form the section without a name.
    int inSection = sectionLength == 0, sectionSeen = inSection;
    ProfileCursor cursor = {0, 0};
    ProfileLine line;
    while (NextProfileLine(text, size, &cursor, &line)) {
        if (line.isSection) {
            if (sectionSeen)
                return 0;  // a later section of the same name is never read
            inSection = sectionSeen = ProfileNamesEqual(line.name, line.nameLength, sectionName, sectionLength);
            continue;
        }
        if (!inSection || !ProfileNamesEqual(line.name, line.nameLength, keyName, keyLength))
            continue;
        if (!line.value)
            return 0;
        const char* v = line.value;
        size_t n = line.valueLength;
        if (n >= 2 && (v[0] == '"' || v[0] == '\'') && v[n - 1] == v[0]) {
            ++v;
            n -= 2;
        }
        *value = v;
        *length = n;
        return 1;
    }
    return 0;
}
