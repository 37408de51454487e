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

}  // namespace

int ReadLzmaProperties(unsigned char byte, uint32_t dictionarySize, LzmaProperties* properties)
{
    if (byte >= 9 * 5 * 5)
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
    size_t count = LzmaProbabilityCount(properties);
    for (size_t i = 0; i < count; ++i)
        d->probabilities[i] = ProbabilityStart;
    d->rep[0] = d->rep[1] = d->rep[2] = d->rep[3] = 0;
    d->state = 0;
    d->total = 0;
    d->pos = 0;
    d->pending = 0;
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
    uint32_t rep0 = d->rep[0], rep1 = d->rep[1], rep2 = d->rep[2], rep3 = d->rep[3];
    unsigned state = d->state;
    uint32_t total = d->total;
    uint32_t pos = d->pos;
    uint32_t copyLeft = d->copyLeft;
    // The window fills up to flushAt, where the caller takes what is new: a piece, or the rest of the ring.
    uint32_t flushAt = d->pending + (d->piece < windowSize - d->pending ? (uint32_t)d->piece : windowSize - d->pending);
    LzmaSpanResult result;

    for (;;) {
        if (copyLeft) {
            // The rest of a copy that a flush interrupted; its distance was checked when it began.
            uint32_t from = pos > rep0 ? pos - rep0 - 1 : pos + windowSize - rep0 - 1;
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
        if (total == unpackedSize) {
            // All of the output is here: the data ends now, or with an end marker and nothing after it.
            if (rc.ip == rc.iend && !moreInput) {
                result = rc.code == 0 ? LzmaSpanEnd : LzmaSpanFailed;
                break;
            }
            unsigned posState = total & pbMask;
            if (DecodeBit(rc, probs + IsMatch + (state << PosBitsMax) + posState) == 0 ||
                DecodeBit(rc, probs + IsRep + state) != 0) {
                result = LzmaSpanFailed;
                break;
            }
            unsigned length = DecodeLength(rc, probs + LenCoder, posState);
            uint32_t distance = DecodeDistance(rc, probs, length);
            result = distance == 0xFFFFFFFFu && !rc.overrun && rc.code == 0 && rc.ip == rc.iend && !moreInput
                         ? LzmaSpanEnd
                         : LzmaSpanFailed;
            break;
        }

        unsigned posState = total & pbMask;
        if (DecodeBit(rc, probs + IsMatch + (state << PosBitsMax) + posState) == 0) {
            unsigned previous = total ? window[pos ? pos - 1 : windowSize - 1] : 0;
            uint16_t* coder =
                probs + Literal + 0x300 * ((((total & lpMask) << lc) + (previous >> (8 - lc))));
            unsigned symbol = 1;
            if (state >= 7) {
                uint32_t from = pos > rep0 ? pos - rep0 - 1 : pos + windowSize - rep0 - 1;
                unsigned matchByte = window[from];
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
            if (Unlikely(rc.overrun)) {
                result = LzmaSpanFailed;
                break;
            }
            window[pos++] = (unsigned char)symbol;
            ++total;
            state = StateAfterLiteral(state);
            if (pos == flushAt) {
                result = LzmaSpanFlush;
                break;
            }
            continue;
        }

        unsigned length;
        if (DecodeBit(rc, probs + IsRep + state) != 0) {
            if (total == 0) {
                result = LzmaSpanFailed;
                break;
            }
            if (DecodeBit(rc, probs + IsRepG0 + state) == 0) {
                if (DecodeBit(rc, probs + IsRep0Long + (state << PosBitsMax) + posState) == 0) {
                    // One byte from the last distance.
                    if (Unlikely(rc.overrun)) {
                        result = LzmaSpanFailed;
                        break;
                    }
                    state = StateAfterShortRep(state);
                    uint32_t from = pos > rep0 ? pos - rep0 - 1 : pos + windowSize - rep0 - 1;
                    window[pos] = window[from];
                    ++pos;
                    ++total;
                    if (pos == flushAt) {
                        result = LzmaSpanFlush;
                        break;
                    }
                    continue;
                }
            } else {
                uint32_t distance;
                if (DecodeBit(rc, probs + IsRepG1 + state) == 0) {
                    distance = rep1;
                } else {
                    if (DecodeBit(rc, probs + IsRepG2 + state) == 0) {
                        distance = rep2;
                    } else {
                        distance = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = distance;
            }
            length = DecodeLength(rc, probs + RepLenCoder, posState);
            state = StateAfterRep(state);
        } else {
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            length = DecodeLength(rc, probs + LenCoder, posState);
            state = StateAfterMatch(state);
            rep0 = DecodeDistance(rc, probs, length);
        }
        length += MatchMinLength;
        // The distance reaches no byte before the output's start nor outside the window; the copy ends within the
        // output's size. (The end marker's distance fails here too: it comes only once all output is there.)
        if (Unlikely(rc.overrun || rep0 >= total || rep0 >= windowSize || rep0 >= dictionarySize ||
                     length > unpackedSize - total)) {
            result = LzmaSpanFailed;
            break;
        }
        uint32_t from = pos > rep0 ? pos - rep0 - 1 : pos + windowSize - rep0 - 1;
        if (length <= flushAt - pos && length <= windowSize - from) {
            // The common case: neither side wraps or reaches the flush.
            unsigned char* out = window + pos;
            const unsigned char* in = window + from;
            if (from < pos && pos - from < length) {
                // The copy repeats its own output: byte by byte, each read after the write it depends on.
                for (unsigned k = 0; k < length; ++k)
                    out[k] = in[k];
            } else {
                // Wholly behind, or ahead in the ring (older bytes, none of which this copy writes first).
                memmove(out, in, length);
            }
            pos += length;
            total += length;
        } else {
            copyLeft = length;  // byte by byte at the loop's top, across the ring's end and flushes
            continue;
        }
        if (pos == flushAt) {
            result = LzmaSpanFlush;
            break;
        }
    }

    d->range = rc.range;
    d->code = rc.code;
    d->ip = rc.ip;
    d->rep[0] = rep0;
    d->rep[1] = rep1;
    d->rep[2] = rep2;
    d->rep[3] = rep3;
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
