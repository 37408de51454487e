#pragma once
#include <windows.h>

// The file's bytes in a fixed GlobalAlloc block that the caller releases with GlobalFree, or null. Fails for a
// file that does not fit 32 bits and for a short read.
void* LoadWholeFile(const char* path, DWORD* size);

// Writes `count` bytes as the whole content of `path`, stamping all three times with `time` when given. An
// existing file is replaced in one step, so a failure leaves it byte for byte as it was; a failed new file is not
// left behind. A read-only or folder destination fails, as a direct write would.
int SaveWholeFile(const char* path, const void* data, DWORD count, const FILETIME* time);
