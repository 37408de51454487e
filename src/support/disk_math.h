#pragma once
#include <cstdint>

// Bytes of `clusters` clusters, as full 64-bit products: large drives overflow 32 bits.
inline uint64_t ClusterBytes(uint32_t sectorsPerCluster, uint32_t bytesPerSector, uint32_t clusters)
{
    return (uint64_t)sectorsPerCluster * bytesPerSector * clusters;
}
