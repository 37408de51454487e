#include "settings_access.h"

#include <windows.h>

#include <cstring>

#include "cp932.h"
#include "decimal.h"
#include "globals.h"
#include "messages.h"
#include "profile_text.h"
#include "text_format.h"

namespace {

// Larger than any buffer a caller passes: Wine garbles the byte before the NUL of a double-byte value that
// overflows its buffer, so the value is read whole here and cut by us.
const DWORD ProfileReadSize = 4096;

// Copies a value into the caller's buffer, cut on a character boundary; 1 when it is not empty.
int KeepValue(const char* value, size_t length, char* buffer, size_t size)
{
    unsigned kept = Cp932CutLength(value, (unsigned)length, (unsigned)size - 1);
    memcpy(buffer, value, kept);
    return buffer[0] != '\0';
}

int ReadProfileValue(const char* section, const char* key, const char* file, char* buffer, size_t size)
{
    memset(buffer, 0, size);
    static char whole[ProfileReadSize];
    DWORD length = GetPrivateProfileStringA(section, key, "", whole, ProfileReadSize, file);
    return length != 0 && KeepValue(whole, length, buffer, size);
}

int ReadUpdateIniValue(const char* section, const char* key, char* buffer, size_t size)
{
    memset(buffer, 0, size);
    const char* value;
    size_t length;
    return UpdateIniText && FindProfileValue(UpdateIniText, UpdateIniSize, section, key, &value, &length) &&
           length != 0 && KeepValue(value, length, buffer, size);
}

}  // namespace

int ReadSetupValue(const char* key, char* buffer, size_t size)
{
    if (ReadProfileValue("SETUP", key, SetupIniPath, buffer, size))
        return 1;
    if (MissingKeySilent == 0) {
        char text[1024];
        FormatText(text, sizeof text, "SETUP.INI : %s キーが存在しません", key);
        ShowSettingsError(text);
    }
    return 0;
}

int ReadUpdateValue(const char* section, const char* key, char* buffer, size_t size)
{
    if (ReadUpdateIniValue(section, key, buffer, size))
        return 1;
    if (MissingKeySilent == 0) {
        char text[1024];
        FormatText(text, sizeof text, "%s : %s キーが存在しません", section, key);
        ShowSettingsError(text);
    }
    return 0;
}

int ReadSetupNumber(const char* key, int32_t* output)
{
    char value[260];
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    *output = ParseSignedDecimal(value);
    return 1;
}
