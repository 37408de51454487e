#include "ini_reader.h"

#include <cstdio>
#include <cstring>

#include "support/profile_text.h"

namespace {

// Characters the profile functions trim: ASCII white space and the DOS end-of-file mark.
int IsProfileBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A;
}

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
    return ProfileNamesEqual(a, aLength, b, bLength);
}

void ParseIniText(const char* text, size_t size, IniDocument* doc)
{
    doc->sections.clear();
    doc->byteOrderMark = 0;
    if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        doc->byteOrderMark = 8;  // skipped by the line reader
    } else if (size >= 2 && (memcmp(text, "\xFF\xFE", 2) == 0 || memcmp(text, "\xFE\xFF", 2) == 0)) {
        doc->byteOrderMark = 16;
        return;
    }
    // The updater's own line reader, so that both read the same sections, keys and values.
    ProfileCursor cursor = {0, 0};
    ProfileLine line;
    while (NextProfileLine(text, size, &cursor, &line)) {
        if (line.isSection) {
            doc->sections.push_back(IniSection{std::string(line.name, line.nameLength), line.lineNumber, {}});
            continue;
        }
        // Keys before the first header form a section without a name, which a read of section "" finds.
        if (doc->sections.empty())
            doc->sections.push_back(IniSection{std::string(), line.lineNumber, {}});
        IniEntry entry;
        entry.key.assign(line.name, line.nameLength);
        entry.hasValue = line.value != nullptr;
        if (line.value)
            entry.value.assign(line.value, line.valueLength);
        entry.line = line.lineNumber;
        doc->sections.back().entries.push_back(entry);
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
