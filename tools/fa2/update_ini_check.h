#pragma once
// fa2 build's checks of UPDATE.INI: the file is read the way the updater reads it, and everything that would
// make the updater do less than the file says (a key it never reads, a file it cannot find, a text it would
// show garbled) is an error with its line.
#include <string>

#include "build_report.h"
#include "source_folder.h"

// Checks the bytes of UPDATE.INI (`shown` names it in messages) against the source folder. Every file that the
// updater will look up (UPDATE.INI itself, the UpdateFile items, the agreement texts) is marked `named`; the
// agreement texts also `plain`.
void CheckUpdateIni(const std::string& text, const std::string& shown, SourceFolder* folder, BuildReport* report);

// The UpdateFile item's archive entry name, as the updater finds it: the path token after any selector and kind
// letter, from one past its last backslash that is not a cp932 trail byte. `wasCut` tells that the updater would
// refuse the item because its path is cut (a token over 259 bytes, or a path running past the value's 1023).
std::string UpdateItemEntryName(const std::string& value, int* wasCut);

// The known name closest to `name` (letter case ignored) when it is close enough to be a typing mistake, else "".
std::string ClosestName(const std::string& name, const char* const* known, size_t count);
