#include "job/job_scope.h"

#include <cstring>

#include "support/cp932.h"
#include "support/path_join.h"
#include "support/relative_path.h"

namespace {

int IsSeparatorAt(const char* p)
{
    return Cp932CharLength(p) == 1 && (*p == '\\' || *p == '/');
}

// Length of `folder` without its closing separators.
size_t TrimmedLength(const char* folder)
{
    size_t length = 0;
    for (const char* p = folder; *p; p += Cp932CharLength(p))
        if (!IsSeparatorAt(p))
            length = (size_t)(p - folder) + (size_t)Cp932CharLength(p);
    return length;
}

char Folded(char c)
{
    if (c == '/')
        return '\\';
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// How many bytes of `path` match the first `length` bytes of `folder`, character by character; 0 when they differ.
// A double-byte character matches only itself, byte for byte.
size_t MatchFolder(const char* folder, size_t length, const char* path)
{
    size_t at = 0;
    while (at < length) {
        int step = Cp932CharLength(folder + at);
        if (step == 2) {
            if (path[at] != folder[at] || path[at + 1] != folder[at + 1])
                return 0;
        } else if (!path[at] || Cp932CharLength(path + at) != 1 || Folded(path[at]) != Folded(folder[at])) {
            return 0;
        }
        at += (size_t)step;
    }
    return at;
}

int Base36Digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

int SameJournalFolder(const char* a, const char* b)
{
    size_t length = TrimmedLength(a);
    return length == TrimmedLength(b) && (length == 0 || MatchFolder(a, length, b) == length);
}

int JournalPathWithin(const char* folder, const char* path, int folderItself)
{
    size_t length = TrimmedLength(folder);
    if (length == 0 || MatchFolder(folder, length, path) != length)
        return 0;
    const char* rest = path + length;
    if (!*rest)
        return folderItself;
    if (!IsSeparatorAt(rest))
        return 0;
    ++rest;
    if (!*rest)
        return folderItself;  // the folder as the registry writes it, with its closing separator
    return IsPathInsideFolder(rest) && !EndsWithPathSeparator(rest);
}

int IsJobSiblingName(const char* path, uint64_t tag)
{
    const char* name = path + FolderPartLength(path);
    if (strlen(name) != 12 || name[0] != '~')
        return 0;
    uint64_t named = 0;
    for (int i = 1; i < 12; ++i) {
        int digit = Base36Digit(name[i]);
        if (digit < 0)
            return 0;
        if (i <= 6)
            named = named * 36 + (uint64_t)digit;
    }
    return named == tag;
}
