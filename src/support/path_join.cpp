#include "path_join.h"

#include <cstring>

#include "cp932.h"

int EndsWithPathSeparator(const char* path)
{
    const char* last = nullptr;
    for (const char* p = path; *p; p += Cp932CharLength(p))
        last = p;
    if (!last)
        return 0;
    int single = Cp932CharLength(last) == 1;
    return single && (*last == '\\' || *last == '/');
}

int PathDriveText(const char* path, char* drive)
{
    drive[0] = path[0];
    drive[1] = path[0] ? path[1] : '\0';
    drive[2] = '\0';
    char letter = (char)(drive[0] | 0x20);
    return letter >= 'a' && letter <= 'z' && drive[1] == ':';
}

size_t FolderPartLength(const char* path)
{
    size_t folder = 0;
    for (const char* p = path; *p; p += Cp932CharLength(p))
        if (Cp932CharLength(p) == 1 && (*p == '\\' || *p == '/' || (*p == ':' && p == path + 1)))
            folder = (size_t)(p - path) + 1;
    return folder;
}

int IsAbsolutePath(const char* path)
{
    if (path[0] == '\\' && path[1] == '\\')
        return 1;
    char drive = (char)(path[0] | 0x20);
    return drive >= 'a' && drive <= 'z' && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

int AppendPathName(char* path, size_t pathSize, const char* name)
{
    size_t pathLength = strlen(path);
    size_t nameLength = strlen(name);
    int addSeparator = pathLength != 0 && !EndsWithPathSeparator(path);
    size_t total = pathLength + (addSeparator ? 1 : 0) + nameLength + 2;
    if (total > pathSize)
        return 0;
    char* p = path + pathLength;
    if (addSeparator)
        *p++ = '\\';
    memcpy(p, name, nameLength);
    p[nameLength] = '\0';
    p[nameLength + 1] = '\0';
    return 1;
}
