#pragma once
// One "UpdateFile%02i" value, split the way the updater applies it. Portable, so the publisher's tool checks an
// update with the very rules the updater uses.
#include <cstdint>

enum class UpdateKind : int32_t {
    Normal = 0,     // no letter: written into the installation folder
    Update = 1,     // "u": written with keepNewer, a later existing file stays
    Data = 2,       // "d": into the data folder; an existing readable file is written back with its own content
    Overwrite = 3,  // "o": only over an existing file that is not a folder
};

// Why the job writes nothing for an item and fails it with the write-failure box.
enum ItemRefusal : int32_t {
    ItemAccepted = 0,
    ItemPathCut = 1,      // the path did not fit 259 bytes (path holds its cut start)
    ItemPathOutside = 2,  // the path could leave its folder or names a device
};

// One "UpdateFile%02i" value.
struct UpdateItem {
    UpdateKind kind;
    char path[260];      // relative to the target folder, as written; may be empty
    int32_t nameOffset;  // the archive entry's name is path + nameOffset (after the last real backslash)
    int32_t refused;     // an ItemRefusal
};

// Splits `value` (at most 1023 bytes; `valueCut` when the setting was longer and got cut) into `item`: up to three
// list tokens, an optional installation-type selector, an optional kind letter and the path. `*selector` is the
// selector digit's value, or -1 when the value has none.
void SplitUpdateValue(char* value, int valueCut, UpdateItem* item, int* selector);
