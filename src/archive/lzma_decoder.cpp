#include "archive/lzma_decoder.h"

#include <cstring>

namespace {

const unsigned NumStates = 12;
const unsigned PosBitsMax = 4;
const unsigned LenToPosStates = 4;
const unsigned AlignBits = 4;
const unsigned EndPosModelIndex = 14;
const unsigned FullDistances = 128;
const unsigned MatchMinLength = 2;
const unsigned BitModelTotalBits = 11;
const unsigned MoveBits = 5;
const uint32_t TopValue = 1u << 24;
const uint16_t ProbabilityStart = 1u << (BitModelTotalBits - 1);

// Offsets of the probability groups in the one table; the literal coders come last, 0x300 per context.
const unsigned LenChoice = 0;
const unsigned LenChoice2 = 1;
const unsigned LenLow = 2;                                     // [posState][8]
const unsigned LenMid = LenLow + (1u << PosBitsMax) * 8;       // [posState][8]
const unsigned LenHigh = LenMid + (1u << PosBitsMax) * 8;      // [256]
const unsigned LenCoderSize = LenHigh + 256;

const unsigned IsMatch = 0;                                    // [state][posState]
const unsigned IsRep = IsMatch + (NumStates << PosBitsMax);     // [state]
const unsigned IsRepG0 = IsRep + NumStates;
const unsigned IsRepG1 = IsRepG0 + NumStates;
const unsigned IsRepG2 = IsRepG1 + NumStates;
const unsigned IsRep0Long = IsRepG2 + NumStates;                // [state][posState]
const unsigned PosSlot = IsRep0Long + (NumStates << PosBitsMax); // [lenState][64]
const unsigned SpecPos = PosSlot + (LenToPosStates << 6);        // 1 + FullDistances - EndPosModelIndex
const unsigned Align = SpecPos + 1 + FullDistances - EndPosModelIndex;
const unsigned LenCoder = Align + (1u << AlignBits);
const unsigned RepLenCoder = LenCoder + LenCoderSize;
const unsigned Literal = RepLenCoder + LenCoderSize;
static_assert(Literal == LzmaFixedProbabilities, "the fixed probabilities come before the literal coders");

#if defined(__GNUC__)
#define LZMA_INLINE inline __attribute__((always_inline))
#define LZMA_OUTLINE __attribute__((noinline))
inline bool Likely(bool c) { return __builtin_expect(c, 1); }
inline bool Unlikely(bool c) { return __builtin_expect(c, 0); }
#else
#define LZMA_INLINE inline
#define LZMA_OUTLINE
inline bool Likely(bool c) { return c; }
inline bool Unlikely(bool c) { return c; }
#endif

// The range coder over the input span. A read past iend gives 0 and marks the span as overrun, which the
// decoding loop turns into a failure after the packet: the data is damaged either way.
struct RangeDecoder {
    uint32_t range;
    uint32_t code;
    const unsigned char* ip;
    const unsigned char* iend;
    unsigned overrun;
};

LZMA_INLINE void Normalize(RangeDecoder& rc)
{
    if (rc.range < TopValue) {
        rc.range <<= 8;
        if (Likely(rc.ip < rc.iend)) {
            rc.code = (rc.code << 8) | *rc.ip++;
        } else {
            rc.code <<= 8;
            rc.overrun = 1;
        }
    }
}

LZMA_INLINE unsigned DecodeBit(RangeDecoder& rc, uint16_t* probability)
{
    unsigned p = *probability;
    uint32_t bound = (rc.range >> BitModelTotalBits) * p;
    unsigned bit;
    if (rc.code < bound) {
        rc.range = bound;
        *probability = (uint16_t)(p + (((1u << BitModelTotalBits) - p) >> MoveBits));
        bit = 0;
    } else {
        rc.range -= bound;
        rc.code -= bound;
        *probability = (uint16_t)(p - (p >> MoveBits));
        bit = 1;
    }
    Normalize(rc);
    return bit;
}

LZMA_INLINE unsigned DecodeTree(RangeDecoder& rc, uint16_t* probabilities, unsigned bits)
{
    unsigned m = 1;
    for (unsigned i = 0; i < bits; ++i)
        m = (m << 1) + DecodeBit(rc, probabilities + m);
    return m - (1u << bits);
}

LZMA_INLINE unsigned DecodeReverseTree(RangeDecoder& rc, uint16_t* probabilities, unsigned bits)
{
    unsigned m = 1, symbol = 0;
    for (unsigned i = 0; i < bits; ++i) {
        unsigned bit = DecodeBit(rc, probabilities + m);
        m = (m << 1) + bit;
        symbol |= bit << i;
    }
    return symbol;
}

uint32_t DecodeDirectBits(RangeDecoder& rc, unsigned count)
{
    uint32_t result = 0;
    do {
        rc.range >>= 1;
        rc.code -= rc.range;
        uint32_t t = 0u - (rc.code >> 31);  // all ones when the subtraction went below 0: the bit is 0
        rc.code += rc.range & t;
        Normalize(rc);
        result = (result << 1) + (t + 1);
    } while (--count);
    return result;
}

// Lengths and distances come once per match, not per byte: out of line, they keep the updater small.
LZMA_OUTLINE unsigned DecodeLength(RangeDecoder& rc, uint16_t* coder, unsigned posState)
{
    if (DecodeBit(rc, coder + LenChoice) == 0)
        return DecodeTree(rc, coder + LenLow + posState * 8, 3);
    if (DecodeBit(rc, coder + LenChoice2) == 0)
        return 8 + DecodeTree(rc, coder + LenMid + posState * 8, 3);
    return 16 + DecodeTree(rc, coder + LenHigh, 8);
}

// The distance of a new match, less one; 0xFFFFFFFF is the end marker.
LZMA_OUTLINE uint32_t DecodeDistance(RangeDecoder& rc, uint16_t* probabilities, unsigned length)
{
    unsigned lenState = length < LenToPosStates - 1 ? length : LenToPosStates - 1;
    unsigned slot = DecodeTree(rc, probabilities + PosSlot + (lenState << 6), 6);
    if (slot < 4)
        return slot;
    unsigned directBits = (slot >> 1) - 1;
    uint32_t distance = (2u | (slot & 1)) << directBits;
    if (slot < EndPosModelIndex)
        return distance + DecodeReverseTree(rc, probabilities + SpecPos + distance - slot, directBits);
    distance += DecodeDirectBits(rc, directBits - AlignBits) << AlignBits;
    return distance + DecodeReverseTree(rc, probabilities + Align, AlignBits);
}

inline unsigned StateAfterLiteral(unsigned s) { return s < 4 ? 0 : s < 10 ? s - 3 : s - 6; }
inline unsigned StateAfterMatch(unsigned s) { return s < 7 ? 7 : 10; }
inline unsigned StateAfterRep(unsigned s) { return s < 7 ? 8 : 11; }
inline unsigned StateAfterShortRep(unsigned s) { return s < 7 ? 9 : 11; }

// Where the byte `distance` + 1 places behind `pos` lies in the ring.
inline uint32_t Behind(uint32_t pos, uint32_t distance, uint32_t windowSize)
{
    return pos > distance ? pos - distance - 1 : pos + windowSize - distance - 1;
}

// A literal's eight bits; after a match (matched), steered by the byte at the last distance until a bit differs.
LZMA_INLINE unsigned DecodeLiteral(RangeDecoder& rc, uint16_t* coder, int matched, unsigned matchByte)
{
    unsigned symbol = 1;
    if (matched) {
        do {
            unsigned matchBit = (matchByte >> 7) & 1;
            matchByte <<= 1;
            unsigned bit = DecodeBit(rc, coder + ((1 + matchBit) << 8) + symbol);
            symbol = (symbol << 1) | bit;
            if (matchBit != bit)
                break;
        } while (symbol < 0x100);
    }
    while (symbol < 0x100)
        symbol = (symbol << 1) | DecodeBit(rc, coder + symbol);
    return symbol & 0xFF;
}

// Which of the four last distances a repeated match takes; it moves to the front. 0: the one-byte form.
LZMA_INLINE int TakeRepeatedDistance(RangeDecoder& rc, uint16_t* probs, unsigned state, unsigned posState,
                                     uint32_t* rep)
{
    if (DecodeBit(rc, probs + IsRepG0 + state) == 0)
        return DecodeBit(rc, probs + IsRep0Long + (state << PosBitsMax) + posState);
    uint32_t distance;
    if (DecodeBit(rc, probs + IsRepG1 + state) == 0) {
        distance = rep[1];
    } else {
        if (DecodeBit(rc, probs + IsRepG2 + state) == 0) {
            distance = rep[2];
        } else {
            distance = rep[3];
            rep[3] = rep[2];
        }
        rep[2] = rep[1];
    }
    rep[1] = rep[0];
    rep[0] = distance;
    return 1;
}

// A copy that neither wraps nor crosses a flush.
inline void CopyInWindow(unsigned char* window, uint32_t pos, uint32_t from, uint32_t length)
{
    unsigned char* out = window + pos;
    const unsigned char* in = window + from;
    if (from < pos && pos - from < length) {
        // The copy repeats its own output: byte by byte, each read after the write it depends on.
        for (uint32_t k = 0; k < length; ++k)
            out[k] = in[k];
    } else {
        // Wholly behind, or ahead in the ring (older bytes, none of which this copy writes first).
        memmove(out, in, length);
    }
}

}  // namespace

int ReadLzmaProperties(unsigned char byte, uint32_t dictionarySize, LzmaProperties* properties)
{
    if (byte >= 9 * 5 * 5 || dictionarySize > LzmaMaxDictionary)
        return 0;
    properties->lc = byte % 9;
    properties->lp = (byte / 9) % 5;
    properties->pb = byte / 45;
    properties->dictionarySize = dictionarySize < LzmaMinDictionary ? LzmaMinDictionary : dictionarySize;
    return 1;
}

size_t LzmaProbabilityCount(const LzmaProperties* properties)
{
    return Literal + ((size_t)0x300 << (properties->lc + properties->lp));
}

uint32_t LzmaWindowSize(const LzmaProperties* properties, uint32_t unpackedSize)
{
    return properties->dictionarySize < unpackedSize ? properties->dictionarySize : unpackedSize;
}

int StartLzma(LzmaDecoder* d, const LzmaProperties* properties)
{
    d->properties = *properties;
    d->total = 0;
    d->pos = 0;
    d->pending = 0;
    return StartLzmaPiece(d);
}

int StartLzmaPiece(LzmaDecoder* d)
{
    size_t count = LzmaProbabilityCount(&d->properties);
    for (size_t i = 0; i < count; ++i)
        d->probabilities[i] = ProbabilityStart;
    d->rep[0] = d->rep[1] = d->rep[2] = d->rep[3] = 0;
    d->state = 0;
    d->copyLeft = 0;
    d->range = 0xFFFFFFFFu;
    if (d->iend - d->ip < 5 || d->ip[0] != 0)
        return 0;
    d->code = ((uint32_t)d->ip[1] << 24) | ((uint32_t)d->ip[2] << 16) | ((uint32_t)d->ip[3] << 8) | d->ip[4];
    d->ip += 5;
    return d->code != d->range;
}

void LzmaFlushed(LzmaDecoder* d)
{
    if (d->pos == d->windowSize)
        d->pos = 0;
    d->pending = d->pos;
}

LzmaSpanResult DecodeLzmaSpan(LzmaDecoder* d, int moreInput)
{
    RangeDecoder rc = {d->range, d->code, d->ip, d->iend, 0};
    uint16_t* const probs = d->probabilities;
    unsigned char* const window = d->window;
    const uint32_t windowSize = d->windowSize;
    const uint32_t unpackedSize = d->unpackedSize;
    const uint32_t dictionarySize = d->properties.dictionarySize;
    const unsigned lc = d->properties.lc;
    const uint32_t lpMask = (1u << d->properties.lp) - 1;
    const uint32_t pbMask = (1u << d->properties.pb) - 1;
    uint32_t rep[4] = {d->rep[0], d->rep[1], d->rep[2], d->rep[3]};
    unsigned state = d->state;
    uint32_t total = d->total;
    uint32_t pos = d->pos;
    uint32_t copyLeft = d->copyLeft;
    // The window fills up to flushAt, where the caller takes what is new: a piece, or the rest of the ring.
    uint32_t flushAt = d->pending + (d->piece < windowSize - d->pending ? (uint32_t)d->piece : windowSize - d->pending);
    LzmaSpanResult result;

    for (;;) {
        if (copyLeft) {
            // The rest of a copy that wraps or crosses a flush, byte by byte; its distance was checked already.
            uint32_t from = Behind(pos, rep[0], windowSize);
            while (copyLeft && pos < flushAt) {
                window[pos++] = window[from++];
                if (from == windowSize)
                    from = 0;
                --copyLeft;
                ++total;
            }
            if (pos == flushAt) {
                result = LzmaSpanFlush;
                break;
            }
        }
        if (moreInput && (size_t)(rc.iend - rc.ip) < LzmaMaxPacketInput) {
            result = LzmaSpanNeedInput;
            break;
        }
        const unsigned posState = total & pbMask;
        if (total == unpackedSize) {
            // All of the output is here: the data ends now, or with an end marker and nothing after it.
            int marker = 0;
            if (rc.ip != rc.iend || moreInput) {
                marker = DecodeBit(rc, probs + IsMatch + (state << PosBitsMax) + posState) == 1 &&
                         DecodeBit(rc, probs + IsRep + state) == 0 &&
                         DecodeDistance(rc, probs, DecodeLength(rc, probs + LenCoder, posState)) == 0xFFFFFFFFu;
                if (!marker || rc.ip != rc.iend || moreInput) {
                    result = LzmaSpanFailed;
                    break;
                }
            }
            result = rc.code == 0 && !rc.overrun ? LzmaSpanEnd : LzmaSpanFailed;
            break;
        }

        if (DecodeBit(rc, probs + IsMatch + (state << PosBitsMax) + posState) == 0) {
            unsigned previous = total ? window[pos ? pos - 1 : windowSize - 1] : 0;
            uint16_t* coder = probs + Literal + 0x300 * ((((total & lpMask) << lc) + (previous >> (8 - lc))));
            unsigned byte = DecodeLiteral(rc, coder, state >= 7, state >= 7 ? window[Behind(pos, rep[0], windowSize)] : 0);
            if (Unlikely(rc.overrun)) {
                result = LzmaSpanFailed;
                break;
            }
            window[pos++] = (unsigned char)byte;
            ++total;
            state = StateAfterLiteral(state);
            if (pos == flushAt) {
                result = LzmaSpanFlush;
                break;
            }
            continue;
        }

        uint32_t length;
        if (DecodeBit(rc, probs + IsRep + state) != 0) {
            if (total == 0) {
                result = LzmaSpanFailed;
                break;
            }
            if (!TakeRepeatedDistance(rc, probs, state, posState, rep)) {
                // One byte from the last distance.
                length = 1;
                state = StateAfterShortRep(state);
            } else {
                length = MatchMinLength + DecodeLength(rc, probs + RepLenCoder, posState);
                state = StateAfterRep(state);
            }
        } else {
            rep[3] = rep[2];
            rep[2] = rep[1];
            rep[1] = rep[0];
            length = MatchMinLength + DecodeLength(rc, probs + LenCoder, posState);
            state = StateAfterMatch(state);
            rep[0] = DecodeDistance(rc, probs, length - MatchMinLength);
        }
        // The distance reaches no byte before the output's start nor outside the window; the copy ends within the
        // output's size. (The end marker's distance fails here too: it comes only once all output is there.)
        if (Unlikely(rc.overrun || rep[0] >= total || rep[0] >= windowSize || rep[0] >= dictionarySize ||
                     length > unpackedSize - total)) {
            result = LzmaSpanFailed;
            break;
        }
        uint32_t from = Behind(pos, rep[0], windowSize);
        if (length > flushAt - pos || length > windowSize - from) {
            copyLeft = length;
            continue;
        }
        CopyInWindow(window, pos, from, length);
        pos += length;
        total += length;
        if (pos == flushAt) {
            result = LzmaSpanFlush;
            break;
        }
    }

    d->range = rc.range;
    d->code = rc.code;
    d->ip = rc.ip;
    for (int k = 0; k < 4; ++k)
        d->rep[k] = rep[k];
    d->state = state;
    d->total = total;
    d->pos = pos;
    d->copyLeft = copyLeft;
    return result;
}

int DecompressLzma(unsigned char* dst, uint32_t dstSize, const unsigned char* src, size_t srcSize,
                   uint16_t* probabilities, size_t probabilityCapacity)
{
    LzmaProperties properties;
    if (srcSize < LzmaHeaderSize || !ReadLzmaProperties(src[0], ReadLzmaDictionary(src), &properties) ||
        LzmaProbabilityCount(&properties) > probabilityCapacity)
        return 0;
    LzmaDecoder decoder;
    decoder.probabilities = probabilities;
    decoder.window = dst;
    decoder.windowSize = dstSize;  // no ring: the whole output is the window
    decoder.unpackedSize = dstSize;
    decoder.piece = dstSize;
    decoder.ip = src + LzmaHeaderSize;
    decoder.iend = src + srcSize;
    if (!StartLzma(&decoder, &properties))
        return 0;
    for (;;) {
        switch (DecodeLzmaSpan(&decoder, 0)) {
        case LzmaSpanFlush:
            LzmaFlushed(&decoder);
            break;
        case LzmaSpanEnd:
            return 1;
        default:
            return 0;
        }
    }
}

int LzmaCanDecodeTo(uint64_t storedSize, uint64_t decodedSize)
{
    // The likeliest bit costs 0.022 bits at best, and a 273-byte repeat takes 12 of them: about 8300 bytes per
    // stored byte. Four times that leaves room; a claim beyond it is damage, refused before any allocation.
    return storedSize >= LzmaHeaderSize + 5 && decodedSize <= storedSize * 32768;
}
