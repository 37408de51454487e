#pragma once
// Decoder of raw LZMA data (the range-coded method with literal contexts, four repeated distances and a
// dictionary window), written from the format's public description. The caller gives the probability tables and
// the window; the decoder allocates nothing. Every distance, length and input byte is checked against the
// window, the known output size and the input's end.
#include <cstddef>
#include <cstdint>

#include "support/little_endian.h"

// The properties byte: (pb * 5 + lp) * 9 + lc, each below its limit.
struct LzmaProperties {
    unsigned lc;  // 0..8
    unsigned lp;  // 0..4
    unsigned pb;  // 0..4
    uint32_t dictionarySize;
};

// The archive's stored form of LZMA data: the properties byte, the dictionary size (4 bytes, little-endian), then
// the raw range-coded stream, with or without an end marker (the output's size is known from elsewhere).
const size_t LzmaHeaderSize = 5;
inline uint32_t ReadLzmaDictionary(const unsigned char* header) { return LoadLe32(header + 1); }

// The pieced form, which fa2 writes for large files so that their pieces can be encoded side by side: a mark no
// properties byte can be (an updater without this form refuses the entry before allocating anything), the
// properties byte, the dictionary size, then pieces up to the stored end, each its decoded size (at least 1), its
// stream's size (at least 5; both 4 bytes, little-endian) and a raw stream as above. The pieces' sizes add up
// to the entry's exactly. One window runs through all pieces: a piece's matches may reach back into the ones
// before it, within the dictionary, and positions (lp, pb) count from the entry's start; each piece starts its
// probabilities, state, distances and range coder afresh.
const unsigned char LzmaPiecedMark = 0xFF;
const size_t LzmaPiecedHeaderSize = 6;
const size_t LzmaPieceHeaderSize = 8;

const uint32_t LzmaMinDictionary = 4096;  // smaller dictionaries in a header are read as this
// Largest dictionary an archive may name: what fa2 build writes at most. The window is sized from the header, so
// a larger claim is damage, refused before anything is allocated for it.
const uint32_t LzmaMaxDictionary = 8u << 20;
const size_t LzmaMaxPacketInput = 64;      // more than one literal, match or end marker can take

// 0 when the byte names no valid lc/lp/pb, or the dictionary is larger than LzmaMaxDictionary.
int ReadLzmaProperties(unsigned char byte, uint32_t dictionarySize, LzmaProperties* properties);

// Probabilities the decoder needs for these properties (2 bytes each): a fixed part and 0x300 per literal
// context. LzmaTableProbabilities covers every lc + lp <= 4.
const size_t LzmaFixedProbabilities = 1847;
const size_t LzmaTableProbabilities = LzmaFixedProbabilities + (0x300u << 4);
size_t LzmaProbabilityCount(const LzmaProperties* properties);

// The window for an output of `unpackedSize` bytes: the dictionary, but never more than the output itself.
uint32_t LzmaWindowSize(const LzmaProperties* properties, uint32_t unpackedSize);

struct LzmaDecoder {
    // Given by the caller.
    uint16_t* probabilities;  // LzmaProbabilityCount of them
    unsigned char* window;    // windowSize bytes, used as a ring
    uint32_t windowSize;
    uint32_t unpackedSize;
    size_t piece;  // a flush at least every this many bytes (and whenever the ring wraps)
    const unsigned char* ip;
    const unsigned char* iend;
    // Decoder state.
    LzmaProperties properties;
    uint32_t range, code;
    uint32_t rep[4];
    unsigned state;
    uint32_t total;      // bytes decoded so far
    uint32_t pos;        // next write in the window
    uint32_t pending;    // first window byte not yet flushed
    uint32_t copyLeft;   // bytes of a copy cut short by a flush
};

enum LzmaSpanResult {
    LzmaSpanEnd,        // all unpackedSize bytes decoded (flush [pending, pos) once more) and the data ends right
    LzmaSpanFailed,     // malformed, or a distance, length or read out of bounds
    LzmaSpanFlush,      // hand out window[pending, pos), then call LzmaFlushed
    LzmaSpanNeedInput,  // fewer than LzmaMaxPacketInput bytes before iend (only with moreInput)
};

// Sets the tables and state up and reads the range coder's first five bytes from ip (which must hold them: 0
// otherwise, or when they are not a valid start).
int StartLzma(LzmaDecoder* decoder, const LzmaProperties* properties);

// A piece of a pieced entry after the first: probabilities, state and distances start again and the range
// coder reads its first five bytes from ip, while the window, its position and `total` run on, so the piece's
// matches reach back into the pieces before it. `unpackedSize` is then where the piece's output ends (counted
// from the entry's start). 0 as StartLzma.
int StartLzmaPiece(LzmaDecoder* decoder);

// Decodes from ip (up to iend) into the window until one of the results. moreInput: iend is only where the
// caller's input buffer ends, and the decoder stops, before a packet could need what lies past it.
LzmaSpanResult DecodeLzmaSpan(LzmaDecoder* decoder, int moreInput);

// Marks window[pending, pos) as handed out, wrapping the ring when it is full.
void LzmaFlushed(LzmaDecoder* decoder);

// Whole-buffer form for small outputs held in memory (the archive's table): header and stream in src, exactly
// dstSize bytes out. 0 on any fault, or when the properties need more than probabilityCapacity tables.
int DecompressLzma(unsigned char* dst, uint32_t dstSize, const unsigned char* src, size_t srcSize,
                   uint16_t* probabilities, size_t probabilityCapacity);

// 0 when `storedSize` bytes (header included) cannot hold a stream of `decodedSize` bytes: a hostile size is
// refused before anything is allocated for it.
int LzmaCanDecodeTo(uint64_t storedSize, uint64_t decodedSize);
