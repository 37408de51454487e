#pragma once
// The volumes a job writes to, told apart as the system mounts them: a folder that is another disk mounted in a
// folder, or reached through a junction, is weighed against that disk, not against the drive letter its path
// begins with.
#include <windows.h>

#include <cstddef>
#include <cstdint>

struct VolumeNeed {
    wchar_t root[MAX_PATH];  // as GetVolumePathNameW gives it, with its closing backslash
    uint64_t cluster;
    uint64_t need;  // bytes, each file rounded up to the volume's clusters
};

struct VolumeList {
    VolumeNeed* items;
    size_t count, capacity;
};

// Adds `bytes` to the volume `path` is on. A path whose volume cannot be told (a share the system does not answer
// for) is left out: the writes fail cleanly if it is full. 0 when memory runs out.
int AddToVolume(VolumeList* list, const char* path, uint64_t bytes);

// Bytes free to the caller on the volume. 0 when it cannot be asked.
int VolumeFreeSpace(const VolumeNeed& volume, uint64_t* available);

// The volume as the shortage page names it, into `text` (MAX_PATH bytes): "C:" for a drive's root, otherwise the
// folder the disk is mounted on.
void VolumeDisplayName(const VolumeNeed& volume, char* text);
