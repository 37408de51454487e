#pragma once
#include <cstdint>

// Settings numbers: blanks skipped, an optional sign, decimal digits up to the first other byte; no digits give 0.
// The signed form saturates at the 32-bit limits instead of wrapping.
int32_t ParseSignedDecimal(const char* text);

// Unsigned 64-bit sizes; a minus sign negates modulo 2^64, more digits than fit saturate.
uint64_t ParseUnsignedDecimal64(const char* text);

// A byte count such as RequiredDiskSpace: a negative value means the unsigned 32-bit number it has always meant;
// 4 GiB and more are taken in full rather than wrapped.
uint64_t ParseByteCount(const char* text);
