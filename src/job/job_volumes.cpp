#include "job/job_volumes.h"

#include "support/grow_block.h"
#include "support/file_calls.h"

namespace {

uint64_t ClusterSize(const wchar_t* root)
{
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (Files.GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster && bytesPerSector)
        return (uint64_t)sectorsPerCluster * bytesPerSector;
    return 4096;
}

uint64_t RoundUp(uint64_t bytes, uint64_t unit)
{
    return (bytes + unit - 1) / unit * unit;
}

}  // namespace

int AddToVolume(VolumeList* list, const char* path, uint64_t bytes)
{
    wchar_t wide[MAX_PATH], root[MAX_PATH];
    // The path need not exist yet: the system walks up to the folder that does.
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) || !Files.GetVolumePathNameW(wide, root, MAX_PATH))
        return 1;
    size_t at = 0;
    while (at < list->count && lstrcmpiW(list->items[at].root, root) != 0)
        ++at;
    if (at == list->count) {
        if (!ReserveItems((void**)&list->items, &list->capacity, list->count + 1, sizeof(VolumeNeed)))
            return 0;
        VolumeNeed& added = list->items[list->count++];
        lstrcpyW(added.root, root);
        added.cluster = ClusterSize(root);
        added.need = 0;
    }
    list->items[at].need += RoundUp(bytes, list->items[at].cluster);
    return 1;
}

int VolumeFreeSpace(const VolumeNeed& volume, uint64_t* available)
{
    ULARGE_INTEGER caller, total, totalFree;
    if (!Files.GetDiskFreeSpaceExW(volume.root, &caller, &total, &totalFree))
        return 0;
    *available = caller.QuadPart;
    return 1;
}

void VolumeDisplayName(const VolumeNeed& volume, char* text)
{
    wchar_t shown[MAX_PATH];
    lstrcpyW(shown, volume.root);
    int length = lstrlenW(shown);
    if (length > 0 && shown[length - 1] == L'\\')
        shown[length - 1] = L'\0';
    if (!WideCharToMultiByte(CP_ACP, 0, shown, -1, text, MAX_PATH, nullptr, nullptr))
        lstrcpyA(text, "?");
}
