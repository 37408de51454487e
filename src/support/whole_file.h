#pragma once
#include <windows.h>

// The file's bytes in a fixed GlobalAlloc block that the caller releases with GlobalFree, or null. Fails for a
// file that does not fit 32 bits and for a short read.
void* LoadWholeFile(const char* path, DWORD* size);

// Writes `count` bytes as the whole content of `path`, stamping all three times with `time` when given. An
// existing file is replaced in one step, so a failure leaves it byte for byte as it was; a failed new file is not
// left behind. A read-only or folder destination fails, as a direct write would.
int SaveWholeFile(const char* path, const void* data, DWORD count, const FILETIME* time);

// The steps of such a replacement, for writers that produce a file in pieces: a new, unique temporary file beside
// `path` (its name in `tempPath`, MAX_PATH bytes), opened for writing; INVALID_HANDLE_VALUE when none can be made.
HANDLE CreateTemporaryBeside(const char* path, char* tempPath);
// Stamps the temporary file with `time` when given, closes it and moves it over `path`; on any failure the
// temporary file is deleted and `path` stays as it was.
int CommitTemporary(HANDLE file, const char* tempPath, const char* path, const FILETIME* time);
// Closes and deletes the temporary file.
void DiscardTemporary(HANDLE file, const char* tempPath);
