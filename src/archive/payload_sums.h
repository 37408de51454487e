#pragma once
// The payload's sums: a second resource beside the archive (UPDATE 103) that fa2 build writes, holding a CRC-32
// of the opened entry table and one of every entry's unpacked bytes, so that a damaged download is refused
// before any of it reaches the game. Portable and without allocation: the updater and fa2 verify share it.
//
// Layout (little-endian):
//   0   4  "FA2S"
//   4   2  version, 1
//   6   2  header size, 24 (the entry sums start there)
//   8   4  entry count
//  12   4  the archive's size in bytes
//  16   4  CRC-32 of the opened table: the archive's 16-byte header followed by its decoded records
//  20   4  CRC-32 of this resource, these four bytes left out
//  24  4n  CRC-32 of each entry's unpacked bytes, in table order
#include <cstddef>
#include <cstdint>

#include "archive/archive_format.h"

const uint16_t PayloadSumsId = 103;
const uint32_t PayloadSumsHeaderSize = 24;
const uint16_t PayloadSumsVersion = 1;

struct PayloadSums {
    uint32_t entryCount;
    uint32_t archiveSize;
    uint32_t tableSum;
    const unsigned char* entrySums;  // entryCount sums of 4 bytes; points into the resource's bytes
};

enum PayloadSumsResult {
    PayloadSumsRead = 1,
    PayloadSumsDamaged,         // too short, a wrong mark or sizes, or its own sum does not match
    PayloadSumsUnknownVersion,  // intact, but written for a later reader: checked as if absent
};

// Reads the resource's bytes into `sums` (which then point into them).
PayloadSumsResult ReadPayloadSums(const unsigned char* bytes, size_t size, PayloadSums* sums);

// CRC-32 of an opened table block: header and records, entryCount * 280 + 16 bytes.
uint32_t ArchiveTableSum(const ArchiveTable* table);

// 1 when the sums were written for this archive: its size, its entry count and its opened table.
int PayloadSumsMatchArchive(const PayloadSums* sums, const ArchiveTable* table, uint64_t archiveSize);

// The sum of entry `index` (below entryCount).
uint32_t PayloadEntrySum(const PayloadSums* sums, uint32_t index);

// Bytes of the resource for `entryCount` entries, and the resource itself written into `out` (that many bytes).
size_t PayloadSumsSize(uint32_t entryCount);
void WritePayloadSums(unsigned char* out, uint32_t entryCount, uint32_t archiveSize, uint32_t tableSum,
                      const uint32_t* entrySums);
