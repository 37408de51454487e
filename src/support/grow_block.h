#pragma once
#include <cstddef>

// Room for `count` items of `itemSize` bytes in a fixed GlobalAlloc block that grows by doubling (`*block` null and
// `*capacity` 0 at first; the caller releases it with GlobalFree). 0 when memory runs out, the block unchanged.
int ReserveItems(void** block, size_t* capacity, size_t count, size_t itemSize);
