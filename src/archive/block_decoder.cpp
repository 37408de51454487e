#include "block_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Distance part of a code that starts with a 0 bit, looked up on the next ten flag bits (enough for the longest
// row, 0 0 0 0 0 0 and four extra bits). distance = add + (B << shift), B being the row's data byte.
struct DistanceCode {
    uint16_t add;
    uint8_t shift;
    uint8_t bits;      // flag bits of the row code and its extra bits
    uint8_t codeBits;  // flag bits of the row code alone: those taken before the byte B
    uint8_t pair;  // 1: a 2-byte copy (or the end code); 0: a length code follows
};

// A whole back-reference code looked up on the next thirteen flag bits: most copies fit, row and length code
// together. Four bytes, so the table stays in the first-level cache. length 0: only the distance part fits, the
// length code is read on its own.
struct TokenCode {
    uint16_t add;
    uint8_t bits;
    uint8_t shiftAndLength;  // shift in the low 3 bits, length (0, 2 to 26) above
};

// Length code looked up on the next nine flag bits (0 0 0 0 1 and four extra bits). length 0: a byte follows.
struct LengthCode {
    uint16_t length;
    uint8_t bits;
};

const unsigned DistanceLookupBits = 10;
const unsigned LengthLookupBits = 9;
const unsigned TokenLookupBits = 13;
const size_t EndDistance = 2304;  // 0 1 1 with B = 255, X = 7
const uint16_t EndRowAdd = 264;   // 0 1 1 with X = 7: the end code's row; no longer row has this add

struct CodeTables {
    DistanceCode distance[1u << (DistanceLookupBits - 1)];  // the top bit is always 0 here
    LengthCode length[1u << LengthLookupBits];
    TokenCode token[1u << (TokenLookupBits - 1)];  // the top bit is always 0 here
};

// Code that runs once or at a flag word's edge near the end of the input: built for size, even where the file
// is built for speed.
#if defined(__GNUC__)
#define BLOCK_COLD __attribute__((cold, noinline))
#else
#define BLOCK_COLD
#endif

constexpr unsigned BitAt(unsigned value, unsigned width, unsigned index)
{
    return (value >> (width - 1 - index)) & 1u;
}

constexpr unsigned BitsAt(unsigned value, unsigned width, unsigned index, unsigned count)
{
    unsigned result = 0;
    for (unsigned k = 0; k < count; ++k)
        result = (result << 1) | BitAt(value, width, index + k);
    return result;
}

BLOCK_COLD void FillCodeTables(CodeTables& t)
{
    const unsigned dw = DistanceLookupBits;
    for (unsigned i = 0; i < (1u << (dw - 1)); ++i) {
        DistanceCode& c = t.distance[i];
        if (BitAt(i, dw, 1)) {
            c.pair = 1;
            if (!BitAt(i, dw, 2)) {
                c.add = 1;
                c.shift = 0;
                c.bits = 3;
                c.codeBits = 3;
            } else {
                c.add = (uint16_t)(256 + BitsAt(i, dw, 3, 3) + 1);
                c.shift = 3;
                c.bits = 6;
                c.codeBits = 3;
            }
            continue;
        }
        unsigned zeros = 2;
        while (zeros < 6 && !BitAt(i, dw, zeros))
            ++zeros;
        unsigned codeBits = zeros < 6 ? zeros + 1 : 6;
        unsigned extraBits = zeros == 2 ? 1 : zeros == 3 ? 1 : zeros == 4 ? 2 : zeros == 5 ? 3 : 4;
        unsigned base = zeros == 2 ? 0 : zeros == 3 ? 512 : zeros == 4 ? 1024 : zeros == 5 ? 2048 : 4096;
        c.pair = 0;
        c.add = (uint16_t)(base + BitsAt(i, dw, codeBits, extraBits) + 1);
        c.shift = (uint8_t)extraBits;
        c.bits = (uint8_t)(codeBits + extraBits);
        c.codeBits = (uint8_t)codeBits;
    }
    const unsigned lw = LengthLookupBits;
    for (unsigned i = 0; i < (1u << lw); ++i) {
        LengthCode& c = t.length[i];
        unsigned zeros = 0;
        while (zeros < 5 && !BitAt(i, lw, zeros))
            ++zeros;
        switch (zeros) {
        case 0: c.length = 3; c.bits = 1; break;
        case 1: c.length = 4; c.bits = 2; break;
        case 2: c.length = (uint16_t)(5 + BitsAt(i, lw, 3, 1)); c.bits = 4; break;
        case 3: c.length = (uint16_t)(7 + BitsAt(i, lw, 4, 2)); c.bits = 6; break;
        case 4: c.length = (uint16_t)(11 + BitsAt(i, lw, 5, 4)); c.bits = 9; break;
        default: c.length = 0; c.bits = 5; break;
        }
    }
    const unsigned tw = TokenLookupBits;
    for (unsigned i = 0; i < (1u << (tw - 1)); ++i) {
        const DistanceCode& d = t.distance[i >> (tw - dw)];
        TokenCode& c = t.token[i];
        c.add = d.add;
        c.bits = d.bits;
        // The one row that holds the end code is left without a length, so the hot path needs no test for it.
        c.shiftAndLength = (uint8_t)(d.shift | (d.pair && d.add != EndRowAdd ? 2 << 3 : 0));
        if (d.pair)
            continue;
        // The length code starts right behind the distance part; use it when all of it lies in the looked-up bits.
        unsigned rest = tw - d.bits;
        unsigned lengthIndex = (i << d.bits) & ((1u << tw) - 1);  // remaining bits at the top of tw
        const LengthCode& l = t.length[lengthIndex >> (tw - lw)];
        if (l.length != 0 && l.bits <= rest) {
            c.shiftAndLength = (uint8_t)(d.shift | (l.length << 3));
            c.bits = (uint8_t)(d.bits + l.bits);
        }
    }
}

// Filled when the program starts, before any thread runs: as constant data they would add 21 KB to the updater.
CodeTables Codes;
struct CodeTablesAtStart {
    CodeTablesAtStart() { FillCodeTables(Codes); }
} FillCodesAtStart;

#if defined(__GNUC__)
inline bool Likely(bool c) { return __builtin_expect(c, 1); }
inline bool Unlikely(bool c) { return __builtin_expect(c, 0); }
#else
inline bool Likely(bool c) { return c; }
inline bool Unlikely(bool c) { return c; }
#endif

inline uint32_t ReadLe32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline unsigned CountLeadingZeros(uint32_t v)  // v != 0
{
#if defined(__GNUC__)
    return (unsigned)__builtin_clz(v);
#else
    unsigned n = 0;
    while (!(v & 0x80000000u)) {
        v <<= 1;
        ++n;
    }
    return n;
#endif
}

inline void Move4(unsigned char* d, const unsigned char* s)
{
    uint32_t v;
    memcpy(&v, s, 4);
    memcpy(d, &v, 4);
}

inline void Move8(unsigned char* d, const unsigned char* s)
{
    uint64_t v;
    memcpy(&v, s, 8);
    memcpy(d, &v, 8);
}

inline void Move16(unsigned char* d, const unsigned char* s)
{
    unsigned char v[16];
    memcpy(v, s, 16);
    memcpy(d, v, 16);
}

// 1 to 3 bytes in order, each read after the one before it is written: right for overlapping copies too.
inline void CopyUpTo3(unsigned char* d, const unsigned char* s, size_t n)
{
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
}

// Exactly n bytes (1 to 16) from s to d, where [s, s+n) and [d, d+n) do not overlap: two pieces that may overlap
// each other inside the range, nothing outside it written.
inline void CopyShort(unsigned char* d, const unsigned char* s, size_t n)
{
    if (n < 4) {
        CopyUpTo3(d, s, n);
    } else if (n < 8) {
        uint32_t a, b;
        memcpy(&a, s, 4);
        memcpy(&b, s + n - 4, 4);
        memcpy(d, &a, 4);
        memcpy(d + n - 4, &b, 4);
    } else {
        uint64_t a, b;
        memcpy(&a, s, 8);
        memcpy(&b, s + n - 8, 8);
        memcpy(d, &a, 8);
        memcpy(d + n - 8, &b, 8);
    }
}

// Exactly n bytes (n >= 1) from s to d, where s lies at least 16 bytes before d or the ranges do not overlap: each
// 16-byte piece's source is then written before it is read.
inline void CopyLong(unsigned char* d, const unsigned char* s, size_t n)
{
    if (n <= 16) {
        CopyShort(d, s, n);
        return;
    }
    size_t k = 0;
    for (; n - k > 16; k += 16)
        Move16(d + k, s + k);
    Move16(d + n - 16, s + n - 16);
}

// A copy that overlaps itself from a distance under 16 (runs and short patterns): rarer, so kept out of line.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void CopyOverlapping(unsigned char* op, size_t distance, size_t length)
{
    const unsigned char* from = op - distance;
    if (distance >= 4) {
        // Each piece's source lies wholly behind its destination, so it is already written.
        if (distance >= 8) {
            for (; length >= 8; length -= 8, op += 8, from += 8)
                Move8(op, from);
        } else {
            for (; length >= 4; length -= 4, op += 4, from += 4)
                Move4(op, from);
        }
        if (length)
            CopyShort(op, from, length);  // length < distance now
        return;
    }
    if (distance == 1) {
        memset(op, from[0], length);
        return;
    }
    // Distances 2 and 3: fill with the repeated pattern, in steps that keep its phase.
    unsigned char pattern[16];
    for (unsigned k = 0; k < 16; k += (unsigned)distance)
        for (unsigned j = 0; j < distance && k + j < 16; ++j)
            pattern[k + j] = from[j];
    const size_t step = distance == 2 ? 16 : 15;
    for (; length >= 16; length -= step, op += step)
        memcpy(op, pattern, 16);
    memcpy(op, pattern, length);
}

// The copy of a back-reference: the same bytes as copying one at a time, and nothing past op + length written.
inline void CopyMatch(unsigned char* op, size_t distance, size_t length)
{
    const unsigned char* from = op - distance;
    if (length < 4)
        CopyUpTo3(op, from, length);
    else if (distance >= 16)
        CopyLong(op, from, length);
    else if (distance >= length)
        CopyShort(op, from, length);
    else
        CopyOverlapping(op, distance, length);
}

// Bit-by-bit reading for the codes that cross into the next flag word. The next word is read at the moment its
// first bit is needed, after every byte taken before then.
struct SlowReader {
    uint32_t flag;
    unsigned left;
    const unsigned char* ip;
    const unsigned char* iend;
};

inline int TakeBit(SlowReader& r, unsigned* bit)
{
    if (r.left == 0) {
        if (r.iend - r.ip < 4)
            return 0;
        r.flag = ReadLe32(r.ip);
        r.ip += 4;
        r.left = 32;
    }
    *bit = r.flag >> 31;
    r.flag <<= 1;
    --r.left;
    return 1;
}

inline int TakeBits(SlowReader& r, unsigned count, unsigned* value)
{
    unsigned v = 0;
    for (unsigned k = 0; k < count; ++k) {
        unsigned bit;
        if (!TakeBit(r, &bit))
            return 0;
        v = (v << 1) | bit;
    }
    *value = v;
    return 1;
}

inline int TakeByte(SlowReader& r, unsigned* value)
{
    if (r.ip >= r.iend)
        return 0;
    *value = *r.ip++;
    return 1;
}

BLOCK_COLD int SlowLength(SlowReader& r, size_t* length)
{
    unsigned zeros = 0, bit = 0, x = 0;
    while (zeros < 5) {
        if (!TakeBit(r, &bit))
            return 0;
        if (bit)
            break;
        ++zeros;
    }
    switch (zeros) {
    case 0: *length = 3; return 1;
    case 1: *length = 4; return 1;
    case 2: if (!TakeBits(r, 1, &x)) return 0; *length = 5 + x; return 1;
    case 3: if (!TakeBits(r, 2, &x)) return 0; *length = 7 + x; return 1;
    case 4: if (!TakeBits(r, 4, &x)) return 0; *length = 11 + x; return 1;
    default: if (!TakeByte(r, &x)) return 0; *length = 27 + x; return 1;
    }
}

// A back-reference code (its first bit, a 0, not yet taken) read bit by bit. length 0 with distance EndDistance
// is the end code.
BLOCK_COLD int SlowMatch(SlowReader& r, size_t* distance, size_t* length)
{
    unsigned bit = 0, b = 0, x = 0;
    if (!TakeBit(r, &bit) || !TakeBit(r, &bit))
        return 0;
    if (bit) {
        if (!TakeBit(r, &bit) || !TakeByte(r, &b))
            return 0;
        if (!bit) {
            *distance = b + 1;
        } else {
            if (!TakeBits(r, 3, &x))
                return 0;
            *distance = 256 + 8 * b + x + 1;
        }
        *length = *distance == EndDistance ? 0 : 2;
        return 1;
    }
    unsigned zeros = 2;
    while (zeros < 6) {
        if (!TakeBit(r, &bit))
            return 0;
        if (bit)
            break;
        ++zeros;
    }
    unsigned extraBits = zeros == 2 ? 1 : zeros == 3 ? 1 : zeros == 4 ? 2 : zeros == 5 ? 3 : 4;
    unsigned base = zeros == 2 ? 0 : zeros == 3 ? 512 : zeros == 4 ? 1024 : zeros == 5 ? 2048 : 4096;
    if (!TakeByte(r, &b) || !TakeBits(r, extraBits, &x))
        return 0;
    *distance = base + ((size_t)b << extraBits) + x + 1;
    return SlowLength(r, length);
}

// The hot loop's copies move whole pieces and may write past a copy's end, up to this far (never past oend: the
// loop's room covers it). Bytes written there are overwritten by the steps that follow.
const size_t CopyOverrun = 15;

// Literals: one or two 16-byte pieces, whatever the run's length (up to 32: the input always holds that many).
inline void CopyLiteralsWild(unsigned char* op, const unsigned char* ip, size_t n)
{
    Move16(op, ip);
    if (n > 16)
        Move16(op + 16, ip + 16);
}

// For a distance under 8: the nearest multiple of it that is at least 8. Once 8 bytes are written, reading from
// that far back repeats the pattern in 8-byte pieces that never overlap their source.
const unsigned char PatternReach[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// A back-reference in whole pieces: 8 bytes at a time from 8 back or more (16 from 16 back on x86-64, where that
// is one move; i686 without SSE makes it four), short patterns spread out first. Writes up to CopyOverrun bytes
// past the end.
inline void CopyMatchWild(unsigned char* op, size_t distance, size_t length)
{
    const unsigned char* from = op - distance;
    if (sizeof(void*) == 8 && Likely(distance >= 16)) {
        Move16(op, from);
        for (size_t k = 16; k < length; k += 16)
            Move16(op + k, from + k);
        return;
    }
    if (distance < 8) {
        for (unsigned k = 0; k < 8; ++k)
            op[k] = from[k];
        from = op + 8 - PatternReach[distance];
        op += 8;
        if (length <= 8)
            return;
        length -= 8;
    }
    Move8(op, from);
    for (size_t k = 8; k < length; k += 8)
        Move8(op + k, from + k);
}

// What one step of the decoding loop ended with.
enum { StepFailed = 0, StepDone = 1, StepEnd = 2 };

// Bounds on one step: a literal run of up to 32 bytes and one back-reference of up to 282 (output); a flag word,
// 32 literal bytes, B, another flag word and a length byte (input). An unchecked step reads no more than that
// (its literals are read 32 at a time) and writes up to CopyOverrun bytes more.
const size_t StepMaxOutput = BlockStepMaxOutput;
const size_t StepMaxInput = BlockStepMaxInput;
const size_t HotStepMaxOutput = StepMaxOutput + CopyOverrun;

#if defined(__GNUC__)
#define BLOCK_INLINE inline __attribute__((always_inline))
#else
#define BLOCK_INLINE inline
#endif

// One step: a literal run, and the back-reference or end code behind it. Checked = false only where the caller
// made sure the step cannot leave either buffer and that every distance reaches back into the output (8192 bytes
// written), so the hot loop carries no bounds tests.
template <bool Checked>
BLOCK_INLINE int DecodeStep(uint32_t& flag, unsigned& left, const unsigned char*& ip, const unsigned char* iend,
                            unsigned char*& op, unsigned char* dst, unsigned char* oend)
{
    if (Unlikely(left == 0)) {
        if (Checked && iend - ip < 4)
            return StepFailed;
        flag = ReadLe32(ip);
        ip += 4;
        left = 32;
    }

    if (flag & 0x80000000u) {
        // Every leading 1 bit is a literal; the taken bits below are 0, so the run stops at the word's end.
        unsigned n = flag != 0xFFFFFFFFu ? CountLeadingZeros(~flag) : 32;
        if (Checked && Unlikely((size_t)(iend - ip) < n || (size_t)(oend - op) < n))
            return StepFailed;
        if (!Checked)
            CopyLiteralsWild(op, ip, n);
        else if (n < 4)
            CopyUpTo3(op, ip, n);
        else
            CopyLong(op, ip, n);
        op += n;
        ip += n;
        left -= n;
        flag = n < 32 ? flag << n : 0;
        if (left == 0)
            return StepDone;
        // The run ended on a 0 bit: a back-reference follows.
    }

    size_t distance, length;
    const TokenCode tc = Codes.token[flag >> (32 - TokenLookupBits)];
    if (Likely(tc.bits <= left)) {
        if (Checked && Unlikely(ip >= iend))
            return StepFailed;
        flag <<= tc.bits;
        left -= tc.bits;
        distance = tc.add + ((size_t)*ip++ << (tc.shiftAndLength & 7));
        length = tc.shiftAndLength >> 3;
        if (Unlikely(length == 0)) {
            if (tc.add == EndRowAdd) {
                if (distance == EndDistance)
                    return StepEnd;
                length = 2;
            } else {
                if (left == 0) {
                    if (Checked && iend - ip < 4)
                        return StepFailed;
                    flag = ReadLe32(ip);
                    ip += 4;
                    left = 32;
                }
                const LengthCode lc = Codes.length[flag >> (32 - LengthLookupBits)];
                if (lc.bits <= left) {
                    flag <<= lc.bits;
                    left -= lc.bits;
                    length = lc.length;
                    if (length == 0) {
                        if (Checked && ip >= iend)
                            return StepFailed;
                        length = 27 + (size_t)*ip++;
                    }
                } else if (!Checked || iend - ip >= 4) {
                    // The length code runs into the next flag word, which lies right here, behind B.
                    uint64_t joined = ((uint64_t)flag << 32) | ((uint64_t)ReadLe32(ip) << (32 - left));
                    ip += 4;
                    const LengthCode jl = Codes.length[joined >> (64 - LengthLookupBits)];
                    joined <<= jl.bits;
                    flag = (uint32_t)(joined >> 32);
                    left = left + 32 - jl.bits;
                    length = jl.length;
                    if (length == 0) {
                        if (Checked && ip >= iend)
                            return StepFailed;
                        length = 27 + (size_t)*ip++;
                    }
                } else {
                    SlowReader r = {flag, left, ip, iend};
                    if (!SlowLength(r, &length))
                        return StepFailed;
                    flag = r.flag;
                    left = r.left;
                    ip = r.ip;
                }
            }
        }
    } else if (!Checked || iend - ip >= 5) {
        // The code runs into the next flag word, which lies behind B when the row code ends in this word and
        // in front of it otherwise. Joined to the bits left here, it gives the whole code at once.
        uint64_t joined = ((uint64_t)flag << 32) | ((uint64_t)ReadLe32(ip + 1) << (32 - left));
        unsigned b;
        if (Codes.distance[joined >> (64 - DistanceLookupBits)].codeBits <= left) {
            b = ip[0];
        } else {
            joined = ((uint64_t)flag << 32) | ((uint64_t)ReadLe32(ip) << (32 - left));
            b = ip[4];
        }
        ip += 5;
        const TokenCode jc = Codes.token[joined >> (64 - TokenLookupBits)];
        joined <<= jc.bits;
        unsigned taken = jc.bits;
        distance = jc.add + ((size_t)b << (jc.shiftAndLength & 7));
        length = jc.shiftAndLength >> 3;
        if (length == 0 && jc.add == EndRowAdd) {
            if (distance == EndDistance)
                return StepEnd;
            length = 2;
        }
        if (length == 0) {
            const LengthCode lc = Codes.length[joined >> (64 - LengthLookupBits)];
            joined <<= lc.bits;
            taken += lc.bits;
            length = lc.length;
            if (length == 0) {
                if (Checked && ip >= iend)
                    return StepFailed;
                length = 27 + (size_t)*ip++;
            }
        }
        flag = (uint32_t)(joined >> 32);
        left = left + 32 - taken;
    } else {
        SlowReader r = {flag, left, ip, iend};
        if (!SlowMatch(r, &distance, &length))
            return StepFailed;
        flag = r.flag;
        left = r.left;
        ip = r.ip;
        if (length == 0)
            return StepEnd;
    }

    if (Checked && Unlikely(distance > (size_t)(op - dst) || length > (size_t)(oend - op)))
        return StepFailed;
    if (Checked)
        CopyMatch(op, distance, length);
    else
        CopyMatchWild(op, distance, length);
    op += length;
    return StepDone;
}

}  // namespace

int StartBlock(BlockDecoder* decoder, const unsigned char* src, size_t srcSize, unsigned char* dst)
{
    if (src == nullptr || srcSize < 4)
        return 0;
    decoder->flag = ReadLe32(src);
    decoder->left = 32;  // bits of flag not yet taken; flag holds them at its top, zeros below
    decoder->ip = src + 4;
    decoder->iend = src + srcSize;
    decoder->op = dst;
    return 1;
}

BlockSpanResult DecodeBlockSpan(BlockDecoder* decoder, const unsigned char* history, unsigned char* oend,
                                int moreOutput, int moreInput)
{
    uint32_t flag = decoder->flag;
    unsigned left = decoder->left;
    const unsigned char* ip = decoder->ip;
    const unsigned char* const iend = decoder->iend;
    unsigned char* op = decoder->op;
    unsigned char* const dst = const_cast<unsigned char*>(history);
    BlockSpanResult result;

    for (;;) {
        // Where the span's end is not the block's, stop while a whole step still fits, so the checked step
        // below never fails for want of room or input that is still to come.
        if (moreOutput && (size_t)(oend - op) < StepMaxOutput) {
            result = BlockSpanNeedRoom;
            break;
        }
        if (moreInput && (size_t)(iend - ip) < StepMaxInput) {
            result = BlockSpanNeedInput;
            break;
        }
        // Steps that cannot run out of either buffer, once every distance reaches back into the output.
        size_t steps = 0;
        if ((size_t)(op - dst) >= 8192)
            steps = std::min((size_t)(oend - op) / HotStepMaxOutput, (size_t)(iend - ip) / StepMaxInput);
        int step;
        if (steps > 0) {
            do
                step = DecodeStep<false>(flag, left, ip, iend, op, dst, oend);
            while (step == StepDone && --steps > 0);
        } else {
            step = DecodeStep<true>(flag, left, ip, iend, op, dst, oend);
        }
        if (step == StepEnd) {
            result = BlockSpanEnd;
            break;
        }
        if (step == StepFailed) {
            result = BlockSpanFailed;
            break;
        }
    }
    decoder->flag = flag;
    decoder->left = left;
    decoder->ip = ip;
    decoder->op = op;
    return result;
}

int DecompressBlock(unsigned char* dst, size_t dstSize, const unsigned char* src, size_t srcSize)
{
    if (dst == nullptr && dstSize != 0)
        return 0;
    BlockDecoder decoder;
    if (!StartBlock(&decoder, src, srcSize, dst))
        return 0;
    return DecodeBlockSpan(&decoder, dst, dst + dstSize, 0, 0) == BlockSpanEnd && decoder.op == dst + dstSize;
}
