// DecompressBlock on arbitrary bytes, checked against a plain bit-by-bit reading of the same block: both must agree
// on success and on every output byte, and the decoder must stay inside both buffers (the sanitizers watch).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/block_decoder.h"

namespace {

// The format read one bit at a time, with every bound tested at every step.
struct PlainReader {
    const uint8_t* src;
    size_t size, pos;
    uint32_t flag;
    unsigned left;
};

bool Bit(PlainReader& r, unsigned* bit)
{
    if (r.left == 0) {
        if (r.size - r.pos < 4)
            return false;
        r.flag = (uint32_t)r.src[r.pos] | (uint32_t)r.src[r.pos + 1] << 8 | (uint32_t)r.src[r.pos + 2] << 16 |
                 (uint32_t)r.src[r.pos + 3] << 24;
        r.pos += 4;
        r.left = 32;
    }
    *bit = (r.flag >> (r.left - 1)) & 1;
    --r.left;
    return true;
}

bool Bits(PlainReader& r, unsigned n, unsigned* value)
{
    *value = 0;
    for (unsigned k = 0; k < n; ++k) {
        unsigned b;
        if (!Bit(r, &b))
            return false;
        *value = *value << 1 | b;
    }
    return true;
}

bool Byte(PlainReader& r, unsigned* value)
{
    if (r.pos >= r.size)
        return false;
    *value = r.src[r.pos++];
    return true;
}

// 1 and the output when the block decodes to exactly `size` bytes; 0 otherwise.
int PlainDecode(const uint8_t* src, size_t srcSize, size_t size, std::vector<uint8_t>* out)
{
    PlainReader r = {src, srcSize, 0, 0, 0};
    out->clear();
    for (;;) {
        unsigned bit, b, x;
        if (!Bit(r, &bit))
            return 0;
        if (bit) {
            if (!Byte(r, &b) || out->size() >= size)
                return 0;
            out->push_back((uint8_t)b);
            continue;
        }
        size_t distance, length;
        if (!Bit(r, &bit))
            return 0;
        if (bit) {
            if (!Bit(r, &bit) || !Byte(r, &b))
                return 0;
            if (!bit) {
                distance = b + 1;
            } else {
                if (!Bits(r, 3, &x))
                    return 0;
                if (b == 255 && x == 7)
                    return out->size() == size;
                distance = 256 + 8 * b + x + 1;
            }
            length = 2;
        } else {
            unsigned zeros = 2;
            for (; zeros < 6; ++zeros) {
                if (!Bit(r, &bit))
                    return 0;
                if (bit)
                    break;
            }
            static const unsigned extra[] = {0, 0, 1, 1, 2, 3, 4};
            static const unsigned base[] = {0, 0, 0, 512, 1024, 2048, 4096};
            if (!Byte(r, &b) || !Bits(r, extra[zeros], &x))
                return 0;
            distance = base[zeros] + (b << extra[zeros]) + x + 1;
            unsigned lz = 0;
            for (; lz < 5; ++lz) {
                if (!Bit(r, &bit))
                    return 0;
                if (bit)
                    break;
            }
            static const unsigned lengthExtra[] = {0, 0, 1, 2, 4};
            static const unsigned lengthBase[] = {3, 4, 5, 7, 11};
            if (lz < 5) {
                if (!Bits(r, lengthExtra[lz], &x))
                    return 0;
                length = lengthBase[lz] + x;
            } else {
                if (!Byte(r, &b))
                    return 0;
                length = 27 + b;
            }
        }
        if (distance > out->size() || length > size - out->size())
            return 0;
        for (size_t k = 0; k < length; ++k)
            out->push_back((*out)[out->size() - distance]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose dst's size (up to 64 KiB); the rest is the block.
    size_t dstSize = (size_t)data[0] | (size_t)data[1] << 8;
    const uint8_t* block = data + 2;
    size_t blockSize = size - 2;

    std::vector<uint8_t> src(block, block + blockSize);  // exactly sized: a read past it is caught
    std::vector<uint8_t> dst(dstSize);
    int ok = DecompressBlock(dst.data(), dstSize, src.data(), src.size());

    std::vector<uint8_t> expected;
    int plainOk = PlainDecode(block, blockSize, dstSize, &expected);
    if (ok != plainOk)
        __builtin_trap();
    if (ok && dstSize != 0 && memcmp(dst.data(), expected.data(), dstSize) != 0)
        __builtin_trap();
    return 0;
}
