#pragma once
// Encoder of the archive's compressed blocks (the publisher's side; the updater only decodes).
#include <atomic>
#include <cstddef>
#include <vector>

#include "byte_sink.h"

enum EncodeLevel {
    EncodeFast,     // greedy: at each position the copy that saves most bits, from a short hash-chain search
    EncodeDefault,  // lazy matching with a deeper search
    EncodeBest      // optimal parse: cheapest path over the exact bit cost of every code
};

// The block that decodes to exactly src[0..size) with DecompressBlock, end code included. Input that does not
// compress comes out larger (up to 9 bits a byte); callers store such data instead.
std::vector<unsigned char> EncodeBlock(const unsigned char* src, size_t size, EncodeLevel level);

// Reads the input's next `count` bytes into `bytes`; 0 when it cannot.
typedef int (*EncodeReader)(void* context, unsigned char* bytes, size_t count);

// The same block as EncodeBlock for `size` bytes taken from `read` as the encoder needs them, into `out` as it
// grows: about 3 MiB of memory whatever the size. `written` is the block's size. 0 when `read` fails or `out`
// refuses a write.
int EncodeBlockStream(size_t size, EncodeLevel level, EncodeReader read, void* readContext, const ByteSink& out,
                      uint64_t* written);

// How far the encoder under way (either codec) has got through its input: a progress display reads it from
// another thread while one large file is compressed (only an indication, never a synchronisation). A thread that
// encodes beside another points EncodeProgressTarget at a counter of its own; by default it is this one.
extern std::atomic<size_t> EncodeBlockProgress;
extern thread_local std::atomic<size_t>* EncodeProgressTarget;
inline void PublishEncodeProgress(size_t done) { EncodeProgressTarget->store(done, std::memory_order_relaxed); }

// Bits a code takes in the block, flag bits and data bytes alike (a flag word is 32 bits for 32 flag bits).
unsigned LiteralCodeBits();
unsigned MatchCodeBits(size_t length, size_t distance);  // length 2..282; 0 when no code has this pair
