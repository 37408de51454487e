#pragma once
// SHA-256 (FIPS 180-4), fed in pieces: the delta entries' check that the installed file is the one a delta was
// made from. Portable, no allocation.
#include <cstddef>
#include <cstdint>

const size_t Sha256Size = 32;

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes fed so far
    unsigned char block[64];
    size_t used;  // bytes of `block` waiting for the rest of it
};

void StartSha256(Sha256* sha);
void Sha256Update(Sha256* sha, const void* data, size_t size);
void FinishSha256(Sha256* sha, unsigned char digest[Sha256Size]);
