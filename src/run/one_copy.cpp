#include "run/one_copy.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "support/crc32.h"
#include "support/updater_values.h"
#include "support/text_format.h"

namespace {

HANDLE Guard;

}  // namespace

int ClaimOnlyCopy()
{
    ReleaseOnlyCopy();
    char name[64];
    OnlyCopyName(CompanyName, GameDir, name);
    Guard = CreateMutexA(nullptr, FALSE, name);
    if (Guard && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(Guard);
        Guard = nullptr;
        return 0;
    }
    // Without a guard at all (no object could be made) the start goes on as the only copy.
    return 1;
}

void ReleaseOnlyCopy()
{
    if (Guard)
        CloseHandle(Guard);
    Guard = nullptr;
}

void OnlyCopyName(const char* company, const char* gameDir, char* name)
{
    char game[600];
    FormatText(game, sizeof game, "%s\\%s", company, gameDir);
    // Every session's copies: another user's copy may be settling the same installation. A name holds no
    // backslash after its namespace, so the game is named by its CRC.
    FormatText(name, 64, "Global\\FA2 Updater %I64u", (uint64_t)Crc32Update(0, game, strlen(game)));
}
