#include "grow_block.h"

#include <windows.h>

int ReserveItems(void** block, size_t* capacity, size_t count, size_t itemSize)
{
    if (count <= *capacity)
        return 1;
    size_t grown = *capacity ? *capacity : 16;
    while (grown < count) {
        if (grown > ((size_t)-1 / 2) / itemSize)
            return 0;
        grown *= 2;
    }
    HGLOBAL bigger = *block ? GlobalReAlloc(*block, grown * itemSize, GMEM_MOVEABLE)
                            : GlobalAlloc(GMEM_FIXED, grown * itemSize);
    if (!bigger)
        return 0;
    *block = bigger;
    *capacity = grown;
    return 1;
}
