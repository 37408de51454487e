#pragma once
#include <cstddef>

// The UPDATE.INI files that earlier runs of this updater left in the temporary folder `folder` (with its closing
// backslash) when they were killed. A file is ours to remove only when it is named as ours ("UPD", four hex digits,
// ".tmp"), holds exactly this updater's UPDATE.INI `bytes`, is no link and has no other name, and no running copy
// holds it (each holds its own open without write sharing). Anything else of that name, another program's
// temporary file or another updater's, stays.
void RemoveEarlierUpdateIniFiles(const char* folder, const unsigned char* bytes, size_t size);
