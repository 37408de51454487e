#pragma once
// The "UPDATE" section of UPDATE.INI as the job is handed it: the files it writes from the archive and the files it
// copies from the game's CD-ROM, only those for the installation's InstMode, in key order.
#include <cstdint>

#include "job/update_item.h"

const int UpdateListCapacity = 16;
const int CopyListCapacity = 16;

// One "CopyFile%02i" value.
struct CopyItem {
    int32_t diskNo;   // 0: no disc search; 1..9: the disc recognised by DiskCheckFile[diskNo]. Outside 0..9 only
                      // when refused (the prefix byte's code minus '0')
    char path[260];   // the file or folder on the disc, relative to its root
    int32_t refused;  // 1: the job copies nothing and fails the item with the copy-failure box. Set when the
                      // value is longer than 259 bytes (path holds its cut start), the disk prefix is not a digit
                      // 0..9, the path could leave its folder or names a device, or it names the whole disc
                      // ("", "\", ".", "*.*", "cdfolder\.." and the like)
};

struct UpdateSection {
    UpdateItem items[UpdateListCapacity];
    int32_t itemCount;
    CopyItem copies[CopyListCapacity];
    int32_t copyCount;
    // 1 when at least one key of the series was read, whether or not its item was for this installation.
    int32_t updateKeysPresent;
    int32_t copyKeysPresent;
    int32_t overwriteOnly;  // "OverwriteOnly" is a non-zero number
    char dataFolder[260];   // the "SETUP" section's DataFolder: every update item is written below it
};

// Fills `section` afresh from UpdateIniPath with the items for installation type `instMode`; no result and no
// message (MissingKeySilent is 1).
void ParseUpdateSection(uint32_t instMode, UpdateSection* section);
