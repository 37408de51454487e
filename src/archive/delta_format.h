#pragma once
// A delta entry's stored bytes (storage EntryStorageDelta, read only under ArchiveFlagNewMethods): the new file
// as commands over the installed old one. Shared by the decoder and fa2's encoder. Little-endian throughout;
// scrambling, when the record asks for it, covers all of the stored bytes as for every entry.
//
//   0   4  "FA2D"
//   4   4  the old file's size in bytes
//   8  32  SHA-256 of the old file
//  40   1  the body's method: 1 stored, 2 the block method, 4 LZMA (the record storage values)
//  41   1  bit 0: the record right after this one has the same name and holds the whole new file; other bits 0
//  42   2  zero
//  44   4  the body's decoded size
//  48      the body, stored as its method says, up to storedSize
//
// The decoded body is a run of commands that together write the entry's unpackedSize bytes, and nothing after
// the last one:
//   0x01 n          ADD: the next n bytes of the body are the new file's next n bytes
//   0x02 n d        COPY: n bytes of the old file from (where the previous copy ended + d); the first copy counts
//                   from 0
// n is unsigned, d is zigzag-signed ((d << 1) ^ (d >> 63)); both are LEB128 varints (7 bits a byte, low first,
// at most 5 bytes). n is at least 1; a copy lies inside the old file.
#include <cstddef>
#include <cstdint>

const unsigned char DeltaMark[4] = {'F', 'A', '2', 'D'};
const uint32_t DeltaHeaderSize = 48;
const unsigned char DeltaHasWhole = 1;
const unsigned char DeltaCommandAdd = 1;
const unsigned char DeltaCommandCopy = 2;
const unsigned DeltaVarintMaxBytes = 5;
