#pragma once
// Settings text held in memory, read the way the system's profile functions read a settings file: lines end at CR,
// LF or CRLF; blanks (and the DOS end-of-file byte) around names and values are trimmed; a line whose first
// character is ';' is a comment; "[name]" opens a section; keys before the first section belong to a section
// without a name; section and key names compare without regard to ASCII letter case (the bytes of a double-byte
// character exactly); of a repeated section or key only the first counts; a key line without '=' has no value; one
// pair of matching quotes ('' or "") around a value is removed. Portable: the updater and the publisher's tool
// read UPDATE.INI with the same rules.
#include <cstddef>

// One meaningful line of settings text: a section header or a key line.
struct ProfileLine {
    int isSection;           // 1: `name` is a section's name; 0: a key line
    const char* name;        // the section or key name, trimmed (not terminated)
    size_t nameLength;
    const char* value;       // a key line's value, trimmed, quotes still on; null without '='
    size_t valueLength;
    int lineNumber;          // 1-based
};

// A walk over the lines of `text`; start with `at` = 0 and `lineNumber` = 0. Returns 0 at the end. A UTF-8
// byte-order mark at the start is skipped.
struct ProfileCursor {
    size_t at;
    int lineNumber;
};
int NextProfileLine(const char* text, size_t size, ProfileCursor* cursor, ProfileLine* line);

// Names compared as the profile functions compare them.
int ProfileNamesEqual(const char* a, size_t aLength, const char* b, size_t bLength);

// The value of `key` in the first section named `section`, quotes removed: 1 with `*value` and `*length` pointing
// into `text` (possibly empty), or 0 when the section or key is absent or the key has no '='.
int FindProfileValue(const char* text, size_t size, const char* section, const char* key, const char** value,
                     size_t* length);
