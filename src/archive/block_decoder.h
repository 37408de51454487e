#pragma once
// Decoder of the archive's compressed blocks: literals and back-references over an 8192-byte window, steered by
// 32-bit flag words that sit in the stream between the data bytes.
#include <cstddef>

// 1 when the block decoded to exactly dstSize bytes without reading past srcSize; 0 otherwise.
// Nothing outside dst is written and nothing outside src is read, whatever the block holds. dst and src must not
// overlap. On failure dst holds whatever was decoded before the fault.
int DecompressBlock(unsigned char* dst, size_t dstSize, const unsigned char* src, size_t srcSize);
