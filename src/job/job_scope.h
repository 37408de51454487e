#pragma once
// Which paths a journal may name. The next start settles a journal elevated, and the game's folders may be ones
// that ordinary users can write: every path a record holds must lie in the installation or data folder the journal
// names, joined as an update item's path is joined, and every staged or backup file must carry the job's tag.
// Portable; cp932-aware (a trail byte 0x5C is no separator).
#include <cstdint>

// 1 when the two name the same folder: letters compare without case, '/' and '\' alike, closing separators do not
// count. Two empty texts are the same (no data folder).
int SameJournalFolder(const char* a, const char* b);

// 1 when `path` is `folder` joined with a path that stays inside it (no "..", no ':', no device name, not
// absolute), or, with `folderItself`, `folder` itself. An empty `folder` holds nothing.
int JournalPathWithin(const char* folder, const char* path, int folderItself);

// 1 when the last name of `path` is a staged or backup name of the job tagged `tag`: "~", the tag in six base-36
// digits (0-9, A-Z), then five more.
int IsJobSiblingName(const char* path, uint64_t tag);

// The largest tag six base-36 digits hold, plus one.
const uint64_t JobTagLimit = 2176782336ull;
