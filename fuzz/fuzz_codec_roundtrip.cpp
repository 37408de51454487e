// Every encoder level on arbitrary data must give a block that decodes to exactly that data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/block_decoder.h"
#include "block_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Inputs are stretched by repeating them with small changes, so long matches and the window's edges occur.
    std::vector<uint8_t> input(data, data + size);
    if (size > 0 && data[0] & 1) {
        size_t copies = 1 + (data[0] >> 1) % 64;
        for (size_t k = 0; k < copies && input.size() < (1u << 16); ++k) {
            input.insert(input.end(), data, data + size);
            input[input.size() - 1 - k % size] ^= (uint8_t)k;
        }
    }
    const EncodeLevel levels[] = {EncodeFast, EncodeDefault, EncodeBest};
    std::vector<uint8_t> out(input.size());
    for (EncodeLevel level : levels) {
        std::vector<unsigned char> block = EncodeBlock(input.data(), input.size(), level);
        std::vector<unsigned char> exact(block);  // exactly sized
        if (!DecompressBlock(out.data(), out.size(), exact.data(), exact.size()))
            __builtin_trap();
        if (!input.empty() && memcmp(out.data(), input.data(), input.size()) != 0)
            __builtin_trap();
    }
    return 0;
}
