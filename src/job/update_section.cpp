#include "job/update_section.h"

#include <windows.h>

#include <cstring>

#include "support/cp932.h"
#include "support/decimal.h"
#include "support/relative_path.h"
#include "support/settings_access.h"
#include "support/text_format.h"
#include "support/updater_values.h"

namespace {

const int UpdateValueSize = 1024;
const int CopyValueSize = 260;

// Reads `key` as if its capacity were `size`, and tells whether the value was longer than that. The read itself
// uses two bytes more: cut on a character boundary, a value longer than size - 1 bytes then still arrives with at
// least size bytes, which shows the cut.
int ReadUpdateKey(const char* key, char* value, int size, int* wasCut)
{
    char wide[UpdateValueSize + 2];
    if (!ReadUpdateValue("UPDATE", key, wide, (size_t)size + 2))
        return 0;
    unsigned length = (unsigned)strlen(wide);
    unsigned kept = Cp932CutLength(wide, length, (unsigned)size - 1);
    memset(value, 0, (size_t)size);
    memcpy(value, wide, kept);
    *wasCut = kept < length;
    return 1;
}

// Parses one CopyFile value into `item`. Returns 0 when the item is for another installation type.
// The prefixes sit at fixed character places. A double-byte first character is never a selector or a disk
// digit: the byte after its lead byte is its trail byte, which in cp932 is never ',' or ':', so the byte tests
// below see no prefix and the value stays part of the path.
int ParseCopyValue(const char* value, int valueCut, uint32_t instMode, CopyItem* item)
{
    const char* start = value;
    if (start[0] != '\0' && !IsCp932LeadByte((unsigned char)start[0]) && start[1] == ',') {
        if ((int32_t)((unsigned char)start[0] - '0') != (int32_t)instMode)
            return 0;
        start += 2;
    }
    item->diskNo = 0;
    int badDisk = 0;
    if (start[0] != '\0' && !IsCp932LeadByte((unsigned char)start[0]) && start[1] == ':') {
        item->diskNo = (unsigned char)start[0] - '0';
        badDisk = item->diskNo < 0 || item->diskNo > 9;
        start += 2;
    }
    memset(item->path, 0, sizeof item->path);
    lstrcpynA(item->path, start, sizeof item->path);
    // The path is the source below the disc's root and, for a file, the destination below the installation.
    item->refused = valueCut || badDisk || !IsPathInsideFolder(item->path) || NamesWholeDisc(item->path);
    return 1;
}

}  // namespace

void ParseUpdateSection(uint32_t instMode, UpdateSection* section)
{
    char key[32];
    char value[UpdateValueSize];
    int valueCut = 0;

    memset(section, 0, sizeof *section);
    for (int i = 0; i < UpdateListCapacity; ++i) {
        FormatText(key, sizeof key, "UpdateFile%02i", i);
        if (!ReadUpdateKey(key, value, UpdateValueSize, &valueCut))
            break;
        section->updateKeysPresent = 1;
        UpdateItem item;
        int selector;
        SplitUpdateValue(value, valueCut, &item, &selector);
        if (selector < 0 || selector == (int32_t)instMode)
            section->items[section->itemCount++] = item;
    }

    for (int i = 0; i < CopyListCapacity; ++i) {
        FormatText(key, sizeof key, "CopyFile%02i", i);
        if (!ReadUpdateKey(key, value, CopyValueSize, &valueCut))
            break;
        section->copyKeysPresent = 1;
        if (ParseCopyValue(value, valueCut, instMode, &section->copies[section->copyCount]))
            ++section->copyCount;
    }

    section->overwriteOnly = ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) &&
                             ParseSignedDecimal(value);
    lstrcpynA(section->dataFolder, DataFolder, sizeof section->dataFolder);
}
