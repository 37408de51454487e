#pragma once
#include <cstddef>

// Copies `text` into `out` with every single-byte "\n" pair turned into one CR byte. A cp932 trail byte 0x5C never
// starts an escape. The output is never longer than the input; it is cut to `outSize` bytes with its NUL.
void ExpandLineBreaks(const char* text, char* out, size_t outSize);
