#include "disk_space.h"

#include <windows.h>

#include "disk_math.h"

namespace {

typedef BOOL(WINAPI* FreeSpaceExFunction)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
FreeSpaceExFunction CachedFreeSpaceEx;

}  // namespace

int QueryDriveFreeSpace(const char* root, uint64_t* freeToCaller, uint64_t* total, uint64_t* totalFree)
{
    // "C:" names that drive's current folder; the platform wants the root "C:\".
    char rootPath[4];
    const char* asked = root;
    if (root[0] && root[1] == ':' && root[2] == '\0') {
        rootPath[0] = root[0];
        rootPath[1] = ':';
        rootPath[2] = '\\';
        rootPath[3] = '\0';
        asked = rootPath;
    }

    HMODULE loaded = nullptr;
    if (!CachedFreeSpaceEx) {
        loaded = LoadLibraryA("kernel32.dll");
        if (loaded)
            CachedFreeSpaceEx = (FreeSpaceExFunction)(void*)GetProcAddress(loaded, "GetDiskFreeSpaceExA");
    }

    int result = 0;
    if (CachedFreeSpaceEx) {
        ULARGE_INTEGER caller, all, allFree;
        if (CachedFreeSpaceEx(asked, &caller, &all, &allFree)) {
            *freeToCaller = caller.QuadPart;
            *total = all.QuadPart;
            if (totalFree)
                *totalFree = allFree.QuadPart;
            result = 1;
        }
    }
    if (!result) {
        DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
        if (GetDiskFreeSpaceA(asked, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
            *freeToCaller = ClusterBytes(sectorsPerCluster, bytesPerSector, freeClusters);
            *total = ClusterBytes(sectorsPerCluster, bytesPerSector, clusters);
            if (totalFree)
                *totalFree = *freeToCaller;
            result = 1;
        }
    }
    if (loaded)
        FreeLibrary(loaded);
    return result;
}
