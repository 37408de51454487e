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

// The plain stored form of `data` (properties byte, dictionary size, raw stream without an end marker), whatever
// its size: the table's form, which is decoded whole. Fast, default
// and best pick liblzma's presets 1, 6 and 9e, with the dictionary no larger than the data (rounded up to 4 KiB)
// and never above LzmaMaxDictionary. 0 with one line in `error` on failure or when this build has no encoder.
int EncodeLzma(const unsigned char* data, size_t size, EncodeLevel level, std::vector<unsigned char>* out,
               std::string* error);

// The same for `size` bytes taken from `read` a piece at a time, into `out` as it grows; `written` is its size.
// From LzmaPiecedFrom bytes on, the pieced form (LzmaPieceSize), its pieces encoded `threads` at once: the bytes
// are the same whatever `threads` says. 0 with one line in `error` (empty when `read` failed: its context tells
// why).
int EncodeLzmaStream(size_t size, EncodeLevel level, int threads, EncodeReader read, void* readContext,
                     const ByteSink& out, uint64_t* written, std::string* error);

// Files from this size on are pieced, in an even number of pieces of at most about LzmaPieceTarget bytes, so
// that two cores share them evenly; each piece after the first reads the dictionary's worth before it again to
// prime its encoder, which is why pieces are not smaller.
const size_t LzmaPiecedFrom = 16u << 20;
const size_t LzmaPieceTarget = 32u << 20;
// The piece size for a file of `size` bytes (a multiple of 64 KiB); 0 below LzmaPiecedFrom.
size_t LzmaPieceSize(size_t size);

// The pieced form with pieces of `pieceSize` bytes (a multiple of 16, so that positions in every piece keep
// the entry's alignment; the last piece is the rest), each primed with up to the dictionary's size of the bytes
// before it. Memory: the dictionary and `threads` pieces of input, their output, and one encoder per thread.
int EncodeLzmaPieced(size_t size, size_t pieceSize, EncodeLevel level, int threads, EncodeReader read,
                     void* readContext, const ByteSink& out, uint64_t* written, std::string* error);
