#include "wizard/update_section.h"

#include <windows.h>

#include <cstring>

#include "run/updater_values.h"
#include "support/cp932.h"
#include "support/list_token.h"
#include "support/settings_access.h"
#include "support/text_format.h"

UpdateItem UpdateList[UpdateListCapacity];
int32_t UpdateListCount;
CopyItem CopyList[CopyListCapacity];
int32_t CopyListCount;
int32_t UpdateKeysPresent;
int32_t CopyKeysPresent;

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

int IsSelectorDigit(const char* token)
{
    return token[0] >= '0' && token[0] <= '9' && token[1] == '\0';
}

// Kind letters are ASCII; a double-byte character is never one.
UpdateKind KindOfLetter(const char* token, int* isLetter)
{
    *isLetter = 1;
    if (token[0] != '\0' && token[1] == '\0') {
        switch (token[0] | 0x20) {
            case 'u':
                return UpdateKind::Update;
            case 'd':
                return UpdateKind::Data;
            case 'o':
                return UpdateKind::Overwrite;
        }
    }
    *isLetter = 0;
    return UpdateKind::Normal;
}

// One past the last backslash that is a character of its own (a trail byte 0x5C is not), or 0.
int32_t NameOffset(const char* path)
{
    int32_t offset = 0;
    for (int32_t i = 0; path[i] != '\0'; i += Cp932CharLength(path + i))
        if (path[i] == '\\')
            offset = i + 1;
    return offset;
}

// Parses one UpdateFile value into `item`. Returns 0 when the item is for another installation type.
int ParseUpdateValue(char* value, int valueCut, UpdateItem* item)
{
    // Missing tokens leave their buffers empty, so no item can pick up an earlier item's text.
    char tokens[3][ListTokenSize];
    int tokenCut[3] = {0, 0, 0};
    char* after[3] = {nullptr, nullptr, nullptr};  // the cursor after each token
    memset(tokens, 0, sizeof tokens);
    char* cursor = value;
    int count = 0;
    while (count < 3 && NextListToken(tokens[count], &cursor, &tokenCut[count])) {
        after[count] = cursor;
        ++count;
    }

    int kindIndex = 0;
    if (IsSelectorDigit(tokens[0])) {
        if ((int32_t)(tokens[0][0] - '0') != (int32_t)InstallRecord.InstMode)
            return 0;
        kindIndex = 1;
    }
    int isLetter = 0;
    item->kind = KindOfLetter(tokens[kindIndex], &isLetter);
    int pathIndex = isLetter ? kindIndex + 1 : kindIndex;
    memcpy(item->path, tokens[pathIndex], sizeof item->path);
    item->nameOffset = NameOffset(item->path);

    // Refused when the path was cut: by its token buffer, or by the value's own limit when the tokens this item
    // uses run up to the end of a cut value.
    const char* usedEnd = pathIndex < count ? after[pathIndex] : cursor;
    item->refused = (pathIndex < count && tokenCut[pathIndex]) || (valueCut && *usedEnd == '\0');
    return 1;
}

// A path made only of dots, separators, blanks and '*' names the disc's root or everything on it.
int NamesWholeDisc(const char* path)
{
    for (const char* p = path; *p; ++p)
        if (*p != '.' && *p != '\\' && *p != '/' && *p != ' ' && *p != '*')
            return 0;
    return 1;
}

// Parses one CopyFile value into `item`. Returns 0 when the item is for another installation type.
// The prefixes sit at fixed character places. A double-byte first character is never a selector or a disk
// digit: the byte after its lead byte is its trail byte, which in cp932 is never ',' or ':', so the byte tests
// below see no prefix and the value stays part of the path.
int ParseCopyValue(const char* value, int valueCut, CopyItem* item)
{
    const char* start = value;
    if (start[0] != '\0' && !IsCp932LeadByte((unsigned char)start[0]) && start[1] == ',') {
        if ((int32_t)((unsigned char)start[0] - '0') != (int32_t)InstallRecord.InstMode)
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
    item->refused = valueCut || badDisk || NamesWholeDisc(item->path);
    return 1;
}

}  // namespace

void ParseUpdateSection()
{
    char key[32];
    char value[UpdateValueSize];
    int valueCut = 0;

    memset(UpdateList, 0, sizeof UpdateList);
    UpdateListCount = 0;
    UpdateKeysPresent = 0;
    for (int i = 0; i < UpdateListCapacity; ++i) {
        FormatText(key, sizeof key, "UpdateFile%02i", i);
        if (!ReadUpdateKey(key, value, UpdateValueSize, &valueCut))
            break;
        UpdateKeysPresent = 1;
        if (ParseUpdateValue(value, valueCut, &UpdateList[UpdateListCount]))
            ++UpdateListCount;
    }

    memset(CopyList, 0, sizeof CopyList);
    CopyListCount = 0;
    CopyKeysPresent = 0;
    for (int i = 0; i < CopyListCapacity; ++i) {
        FormatText(key, sizeof key, "CopyFile%02i", i);
        if (!ReadUpdateKey(key, value, CopyValueSize, &valueCut))
            break;
        CopyKeysPresent = 1;
        if (ParseCopyValue(value, valueCut, &CopyList[CopyListCount]))
            ++CopyListCount;
    }
}
