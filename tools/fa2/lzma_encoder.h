#pragma once
// The LZMA method's encoder: liblzma's raw LZMA1 encoder where this build of fa2 has the library (not in the
// Windows build, for which no maintained build of it is packaged).
#include <cstddef>
#include <string>
#include <vector>

#include "archive/lzma_decoder.h"  // LzmaMaxDictionary: what the reader accepts
#include "block_encoder.h"

// 1 when this build can write LZMA entries.
int LzmaEncoderAvailable();

// The stored form of `data` (properties byte, dictionary size, raw stream without an end marker). Fast, default
// and best pick liblzma's presets 1, 6 and 9e, with the dictionary no larger than the data (rounded up to 4 KiB)
// and never above LzmaMaxDictionary. 0 with one line in `error` on failure or when this build has no encoder.
int EncodeLzma(const unsigned char* data, size_t size, EncodeLevel level, std::vector<unsigned char>* out,
               std::string* error);

// The same stored form for `size` bytes taken from `read` a piece at a time, into `out` as it grows; `written` is
// its size. 0 with one line in `error` (empty when `read` failed: its context tells why).
int EncodeLzmaStream(size_t size, EncodeLevel level, EncodeReader read, void* readContext, const ByteSink& out,
                     uint64_t* written, std::string* error);
