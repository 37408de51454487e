#pragma once
#include <cstddef>
#include <cstdint>

// Reads of the two settings files under the MissingKeySilent policy: SETUP.INI through the system's profile
// functions, UPDATE.INI from the payload's own copy in memory (UpdateIniText). Each empties its whole buffer first; an
// empty value counts as a missing key. A longer value is cut to size - 1 bytes on a character boundary.
int ReadSetupValue(const char* key, char* buffer, size_t size);
int ReadUpdateValue(const char* section, const char* key, char* buffer, size_t size);
int ReadSetupNumber(const char* key, int32_t* output);
