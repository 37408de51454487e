#pragma once
// CRC-32 (the zlib/PNG polynomial, reflected, 0xEDB88320), as the payload's sums use it. Portable.
#include <cstddef>
#include <cstdint>

// The CRC of `size` bytes continued from `crc`: start with 0, feed the pieces in order.
// The first call builds the lookup tables; make it before a second thread can call (the updater does, at start-up).
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);
