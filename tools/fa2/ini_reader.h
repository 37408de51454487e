#pragma once
// Reads UPDATE.INI with the updater's own line reader (support/profile_text), so that the publisher tool
// checks exactly what the updater reads. Bytes are cp932 and stay bytes.
#include <cstddef>
#include <string>
#include <vector>

struct IniEntry {
    std::string key;
    std::string value;      // as stored: blanks around it trimmed, quotes still on
    int hasValue;           // 0 for a line without '='
    int line;               // 1-based line number in the file
};

struct IniSection {
    std::string name;
    int line;
    std::vector<IniEntry> entries;   // every key line in file order, duplicates included
};

struct IniDocument {
    std::vector<IniSection> sections;  // in file order; a repeated header opens a second section of that name
    int byteOrderMark;                 // 0 none, 8 for a UTF-8 mark, 16 for a UTF-16 mark
};

// Splits the text into sections and keys. Lines end at CR, LF or CRLF; blanks (and the DOS end-of-file byte)
// around keys and values are trimmed; a line starting with ';' is a comment; a "; x" after a value belongs to
// the value. Never fails.
void ParseIniText(const char* text, size_t size, IniDocument* doc);

// Reads and parses a file; 0 with `error` set when it cannot be read.
int LoadIniFile(const char* path, IniDocument* doc, std::string* error);

// The first section of that name (letter case ignored), or null: later sections of the same name are never read.
const IniSection* FindIniSection(const IniDocument& doc, const char* section);

// The first entry of that key in the section's first occurrence, or null.
const IniEntry* FindIniEntry(const IniDocument& doc, const char* section, const char* key);

// What GetPrivateProfileStringA returns for the key: the value with one pair of matching quotes ('' or "")
// removed, or "" when the key is absent. 1 when the result is not empty (the updater's test for a present key).
int ReadIniValue(const IniDocument& doc, const char* section, const char* key, std::string* value);

// Names compared as the profile functions do: ASCII letters without regard to case, double-byte characters
// exactly. 1 when equal.
int IniNamesEqual(const char* a, size_t aLength, const char* b, size_t bLength);
