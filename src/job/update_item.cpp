#include "job/update_item.h"

#include <cstring>

#include "support/cp932.h"
#include "support/list_token.h"
#include "support/relative_path.h"

namespace {

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

}  // namespace

void SplitUpdateValue(char* value, int valueCut, UpdateItem* item, int* selector)
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
    *selector = -1;
    if (IsSelectorDigit(tokens[0])) {
        *selector = tokens[0][0] - '0';
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
    item->refused = ItemAccepted;
    if ((pathIndex < count && tokenCut[pathIndex]) || (valueCut && *usedEnd == '\0'))
        item->refused = ItemPathCut;
    else if (!IsPathInsideFolder(item->path))
        item->refused = ItemPathOutside;
}
