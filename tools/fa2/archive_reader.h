#pragma once
// An archive held in memory for the fa2 tool: the image, its opened table, and where each entry's data begins.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_format.h"

struct LoadedArchive {
    std::vector<unsigned char> image;
    std::vector<unsigned char> tableBlock;  // an ArchiveTable: header and records
    std::vector<uint64_t> dataOffsets;      // one per record, summed as the updater's lookup sums them
};

// The archive bytes of an input file given on the command line.
int LoadArchiveInput(const std::string& path, std::vector<unsigned char>* bytes, std::string* error);

// Opens the image (taken over from `image`): magic, table place and size, records. 0 with a reason in `error`.
int OpenLoadedArchive(std::vector<unsigned char>* image, LoadedArchive* archive, std::string* error);

inline const ArchiveTable* LoadedTable(const LoadedArchive& archive)
{
    return reinterpret_cast<const ArchiveTable*>(archive.tableBlock.data());
}

inline uint32_t LoadedEntryCount(const LoadedArchive& archive) { return LoadedTable(archive)->header.entryCount; }

inline const ArchiveEntry* LoadedEntry(const LoadedArchive& archive, uint32_t index)
{
    return &ArchiveTableEntries(LoadedTable(archive))[index];
}

// The record's name as stored: up to its NUL or all 260 bytes.
std::string EntryName(const ArchiveEntry* entry);

// The entry's file bytes, descrambled and decoded. 0 with the reason in `error` for a damaged entry.
int DecodeLoadedEntry(const LoadedArchive& archive, uint32_t index, std::vector<unsigned char>* data,
                      std::string* error);
