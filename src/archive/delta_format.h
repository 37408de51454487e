#pragma once
// A delta entry's stored bytes (storage EntryStorageDelta, read only under ArchiveFlagNewMethods): the new file
// as commands over the installed old one. Shared by the decoder and fa2's encoder. Little-endian throughout;
// scrambling, when the record asks for it, covers all of the stored bytes as for every entry.
//
//   0   4  "FA2D"
//   4   4  the old file's size in bytes
//   8  32  SHA-256 of the old file
//  40   1  the body's method: 1 stored, 2 the block method, 4 LZMA (the record storage values)
//  41   1  bit 0: the record right after this file's deltas holds the whole new file; other bits 0. A file
//          built against several old releases has one delta per distinct old file (size and SHA-256), records
//          of the same name in a row; the whole file, when it rides along, is the record right after them
//  42   1  the body's layout: 0 exact commands, 1 approximate copies; a reader refuses any other before it acts
//  43   1  zero
//  44   4  the body's decoded size
//  48      the body, stored as its method says, up to storedSize
//
// Layout 0. The decoded body is a run of commands that together write the entry's unpackedSize bytes, and nothing after
// the last one:
//   0x01 n          ADD: the next n bytes of the body are the new file's next n bytes
//   0x02 n d        COPY: n bytes of the old file from (where the previous copy ended + d); the first copy counts
//                   from 0
// n is unsigned, d is zigzag-signed ((d << 1) ^ (d >> 63)); both are LEB128 varints (7 bits a byte, low first,
// at most 5 bytes). n is at least 1; a copy lies inside the old file.
//
// Layout 1 (approximate copies). Compiled code moves every address after an edit: a copy of old bytes plus a
// byte-wise difference keeps such a range one command, and the differences, mostly zero, sit apart from the new
// bytes so that the codec sees their zeros together. The decoded body is a run of blocks, nothing after the last:
//   o k             the block writes o bytes (1 to DeltaBlockOutputMost) with k commands (1 to DeltaBlockCommandsMost)
//   k commands      each: c = (copy length << 1 | has difference), then when the copy length is not 0 its
//                   zigzag distance d (from where the previous copy ended; the first counts from 0), then the
//                   length a of new bytes after it; the copy and a together at least 1 byte, the difference bit
//                   only on a copy
//   differences     one byte per copied byte of each copy that has a difference, in command order: the new byte
//                   is the old one plus it, modulo 256
//   new bytes       the a bytes of each command, in command order
// Each command writes its copy, then its new bytes; the commands' lengths add up to o, and the blocks' to the
// entry's unpackedSize. All numbers are varints as above. The reader holds one block: its commands and o bytes.
#include <cstddef>
#include <cstdint>

const unsigned char DeltaMark[4] = {'F', 'A', '2', 'D'};
const uint32_t DeltaHeaderSize = 48;
const unsigned char DeltaHasWhole = 1;
const unsigned char DeltaCommandAdd = 1;
const unsigned char DeltaCommandCopy = 2;
const unsigned DeltaVarintMaxBytes = 5;
const unsigned char DeltaLayoutExact = 0;
const unsigned char DeltaLayoutApproximate = 1;
const uint32_t DeltaBlockOutputMost = 256u << 10;
const uint32_t DeltaBlockCommandsMost = 4096;
