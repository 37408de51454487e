#include "ini_reader.h"

#include <cstdio>
#include <cstring>

#include "support/cp932.h"

namespace {

// Characters the profile functions trim: ASCII white space and the DOS end-of-file mark.
int IsProfileBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A;
}

int AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

void TrimRange(const char* text, size_t* begin, size_t* end)
{
    while (*begin < *end && IsProfileBlank((unsigned char)text[*begin]))
        ++*begin;
    while (*end > *begin && IsProfileBlank((unsigned char)text[*end - 1]))
        --*end;
}

}  // namespace

int IniNamesEqual(const char* a, size_t aLength, const char* b, size_t bLength)
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

void ParseIniText(const char* text, size_t size, IniDocument* doc)
{
    doc->sections.clear();
    doc->byteOrderMark = 0;
    size_t at = 0;
    if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        doc->byteOrderMark = 8;
        at = 3;
    } else if (size >= 2 && (memcmp(text, "\xFF\xFE", 2) == 0 || memcmp(text, "\xFE\xFF", 2) == 0)) {
        doc->byteOrderMark = 16;
        return;
    }
    // Keys before the first header form a section without a name, which a read of section "" finds.
    IniSection* current = nullptr;
    int line = 0;
    while (at < size) {
        ++line;
        size_t begin = at, end = at;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        // CR, LF and CRLF each end one line.
        at = end;
        if (at < size)
            at += (text[at] == '\r' && at + 1 < size && text[at + 1] == '\n') ? 2 : 1;
        TrimRange(text, &begin, &end);
        if (begin == end || text[begin] == ';')
            continue;
        if (text[begin] == '[') {
            size_t close = end;
            while (close > begin + 1 && text[close - 1] != ']')
                --close;
            if (close > begin + 1) {
                // Blanks inside the brackets do not belong to the name.
                size_t nameBegin = begin + 1, nameEnd = close - 1;
                TrimRange(text, &nameBegin, &nameEnd);
                IniSection section;
                section.name.assign(text + nameBegin, nameEnd - nameBegin);
                section.line = line;
                doc->sections.push_back(section);
                current = &doc->sections.back();
                continue;
            }
            // A '[' without ']' is an ordinary key line.
        }
        if (!current) {
            doc->sections.push_back(IniSection{std::string(), line, {}});
            current = &doc->sections.back();
        }
        IniEntry entry;
        entry.line = line;
        const char* eq = (const char*)memchr(text + begin, '=', end - begin);
        if (eq) {
            size_t nameEnd = (size_t)(eq - text), valueBegin = nameEnd + 1, valueEnd = end;
            size_t nameBegin = begin;
            TrimRange(text, &nameBegin, &nameEnd);
            TrimRange(text, &valueBegin, &valueEnd);
            entry.key.assign(text + nameBegin, nameEnd - nameBegin);
            entry.value.assign(text + valueBegin, valueEnd - valueBegin);
            entry.hasValue = 1;
        } else {
            entry.key.assign(text + begin, end - begin);
            entry.hasValue = 0;
        }
        current->entries.push_back(entry);
    }
}

int LoadIniFile(const char* path, IniDocument* doc, std::string* error)
{
    FILE* file = fopen(path, "rb");
    if (!file) {
        *error = std::string("cannot open ") + path;
        return 0;
    }
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    int failed = ferror(file);
    fclose(file);
    if (failed) {
        *error = std::string("cannot read ") + path;
        return 0;
    }
    ParseIniText(text.data(), text.size(), doc);
    return 1;
}

const IniSection* FindIniSection(const IniDocument& doc, const char* section)
{
    size_t begin = 0, end = strlen(section);
    TrimRange(section, &begin, &end);
    for (const IniSection& s : doc.sections)
        if (IniNamesEqual(s.name.data(), s.name.size(), section + begin, end - begin))
            return &s;
    return nullptr;
}

const IniEntry* FindIniEntry(const IniDocument& doc, const char* section, const char* key)
{
    const IniSection* s = FindIniSection(doc, section);
    if (!s)
        return nullptr;
    size_t begin = 0, end = strlen(key);
    TrimRange(key, &begin, &end);
    for (const IniEntry& e : s->entries)
        if (IniNamesEqual(e.key.data(), e.key.size(), key + begin, end - begin))
            return &e;
    return nullptr;
}

int ReadIniValue(const IniDocument& doc, const char* section, const char* key, std::string* value)
{
    value->clear();
    const IniEntry* e = FindIniEntry(doc, section, key);
    if (!e || !e->hasValue)
        return 0;
    const std::string& v = e->value;
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        value->assign(v, 1, v.size() - 2);
    else
        *value = v;
    return !value->empty();
}
