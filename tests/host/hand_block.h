#pragma once
// Blocks written code by code from the format's description, independently of the encoder, with the bytes each
// must decode to.
#include <cstddef>
#include <vector>

namespace handblock {

typedef std::vector<unsigned char> Bytes;

// A block written code by code, independently of the encoder, together with the bytes it must decode to.
struct HandBlock {
    Bytes block = Bytes(4, 0);
    size_t flagPos = 0;
    unsigned used = 0;
    Bytes expected;
};

inline void Bit(HandBlock& h, unsigned bit)
{
    if (h.used == 32) {
        h.flagPos = h.block.size();
        h.block.insert(h.block.end(), 4, 0);
        h.used = 0;
    }
    if (bit)
        h.block[h.flagPos + 3 - h.used / 8] |= (unsigned char)(0x80u >> (h.used % 8));
    ++h.used;
}

inline void Bits(HandBlock& h, unsigned value, unsigned count)
{
    while (count-- > 0)
        Bit(h, (value >> count) & 1u);
}

inline void Byte(HandBlock& h, unsigned value)
{
    h.block.push_back((unsigned char)value);
}

inline void Lit(HandBlock& h, unsigned char c)
{
    Bit(h, 1);
    Byte(h, c);
    h.expected.push_back(c);
}

inline void Expect(HandBlock& h, size_t length, size_t distance)
{
    for (size_t k = 0; k < length; ++k)
        h.expected.push_back(distance <= h.expected.size() ? h.expected[h.expected.size() - distance] : 0);
}

inline void LengthCode(HandBlock& h, size_t length)
{
    if (length == 3)
        Bits(h, 1, 1);
    else if (length == 4)
        Bits(h, 1, 2);
    else if (length <= 6)
        Bits(h, 1, 3), Bits(h, (unsigned)(length - 5), 1);
    else if (length <= 10)
        Bits(h, 1, 4), Bits(h, (unsigned)(length - 7), 2);
    else if (length <= 26)
        Bits(h, 1, 5), Bits(h, (unsigned)(length - 11), 4);
    else
        Bits(h, 0, 5), Byte(h, (unsigned)(length - 27));
}

// Copy of 3..282 bytes with the row the distance (1..8192) belongs to.
inline void Copy(HandBlock& h, size_t length, size_t distance)
{
    unsigned v = (unsigned)(distance - 1);
    if (v < 512)
        Bits(h, 1, 3), Byte(h, v >> 1), Bits(h, v & 1, 1);
    else if (v < 1024)
        Bits(h, 1, 4), Byte(h, (v - 512) >> 1), Bits(h, v & 1, 1);
    else if (v < 2048)
        Bits(h, 1, 5), Byte(h, (v - 1024) >> 2), Bits(h, v & 3, 2);
    else if (v < 4096)
        Bits(h, 1, 6), Byte(h, (v - 2048) >> 3), Bits(h, v & 7, 3);
    else
        Bits(h, 0, 6), Byte(h, (v - 4096) >> 4), Bits(h, v & 15, 4);
    LengthCode(h, length);
    Expect(h, length, distance);
}

// Copy of 2 bytes, distance 1..2303.
inline void Pair(HandBlock& h, size_t distance)
{
    unsigned v = (unsigned)(distance - 1);
    if (v < 256)
        Bits(h, 2, 3), Byte(h, v);
    else
        Bits(h, 3, 3), Byte(h, (v - 256) >> 3), Bits(h, (v - 256) & 7, 3);
    Expect(h, 2, distance);
}

inline void End(HandBlock& h)
{
    Bits(h, 3, 3);
    Byte(h, 255);
    Bits(h, 7, 3);
}

}  // namespace handblock

using namespace handblock;
