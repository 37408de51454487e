#pragma once
#include <cstdint>

// Bytes free to the caller, total bytes and total free bytes (may be null) of the drive `root` ("C:" or "C:\").
// Non-zero on success; the outputs are untouched on failure.
int QueryDriveFreeSpace(const char* root, uint64_t* freeToCaller, uint64_t* total, uint64_t* totalFree);
