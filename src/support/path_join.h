#pragma once
#include <cstddef>

// Every caller's path buffer holds this many bytes, both NULs included.
const int PathBufferSize = 260;

// Joins `name` to the folder path in `path` with one backslash and leaves a second NUL behind the result (the
// shell's copy operation takes such lists). Returns 0 and leaves `path` unchanged when the result with both NULs
// would not fit `pathSize` bytes.
int AppendPathName(char* path, size_t pathSize, const char* name);

// 1 for "X:\..." (or "X:/...") and "\\server\...": anything else would resolve against the current folder.
int IsAbsolutePath(const char* path);

// The drive text of a path, its first two bytes ("C:" for C:\Games\X), in `drive` (3 bytes). 1 when they are a
// letter and a colon, the only form a free-space query can answer for.
int PathDriveText(const char* path, char* drive);

// Length of the folder part of `path`, its last separator included ("C:" counts as one); 0 for a bare name. A cp932
// trail byte 0x5C is no separator.
size_t FolderPartLength(const char* path);

// 1 when the last character (not merely the last byte: a cp932 trail byte may be 0x5C) is '\' or '/'.
int EndsWithPathSeparator(const char* path);
