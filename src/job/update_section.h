#pragma once
// The item keys of the "UPDATE" section of UPDATE.INI: the files the job writes from the archive and the files it
// copies from the game's CD-ROM. Rebuilt by each ParseUpdateSection; only items for this installation's InstMode
// are kept, in key order.
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

extern UpdateItem UpdateList[UpdateListCapacity];
extern int32_t UpdateListCount;
extern CopyItem CopyList[CopyListCapacity];
extern int32_t CopyListCount;
// 1 when at least one key of the series was read, whether or not its item was for this installation.
extern int32_t UpdateKeysPresent;
extern int32_t CopyKeysPresent;

// Empties and refills both lists and flags from UpdateIniPath; no result and no message (MissingKeySilent is 1).
void ParseUpdateSection();
