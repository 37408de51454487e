#pragma once
// fa2's delta encoder: the commands that rebuild a new file from an old one (format in archive/delta_format.h).
// A hashed index of the old file, sampled at a stride chosen so that it never holds more than DeltaIndexSlots / 2
// blocks, finds exact matches anywhere in the old file (moved and inserted data included). A scan of the new file
// keeps the alignment of old and new under way while its bytes match about as well as a new one's; where a new
// one wins, the old one's copy is extended forward as far as more bytes match than differ, the new one's
// backward likewise, and what lies between is new bytes (layout 1 of archive/delta_format.h: the copies carry
// their byte-wise difference). Memory is fixed whatever the files' sizes: the index (64 MiB), one segment of the
// new file (8 MiB), up to DeltaOldWindowsHeld windows of the old file (32 MiB) and one block of the body.
#include <cstdint>
#include <cstdio>
#include <string>

#include "byte_sink.h"
#include "support/sha256.h"

const uint32_t DeltaIndexBits = 23;
const size_t DeltaOldWindowsHeld = 32;  // 1 MiB windows of the old file
const uint64_t DeltaIndexSlots = (uint64_t)1 << DeltaIndexBits;

struct DeltaEncodeResult {
    uint64_t bodySize;  // bytes written to the body sink
    uint64_t copied;    // new bytes taken from the old file
    uint64_t added;     // new bytes carried in the body
    unsigned char oldSha256[Sha256Size];
    uint32_t newSum;    // CRC-32 of the new file
};

// Writes the decoded body of the delta of `newFile` (`newSize` bytes) against `oldFile` (`oldSize` bytes) into
// `body`, and the old file's SHA-256. Both files are read from their start with positioned reads. 0 with one line
// in `error` on a read or write failure.
int EncodeDelta(FILE* oldFile, uint64_t oldSize, FILE* newFile, uint64_t newSize, const ByteSink& body,
                DeltaEncodeResult* result, std::string* error);

// The SHA-256 of `size` bytes of `file` from its start.
int FileSha256(FILE* file, uint64_t size, unsigned char digest[Sha256Size], std::string* error);
