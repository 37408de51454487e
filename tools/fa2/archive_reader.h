#pragma once
// An archive opened by the fa2 tool: held in memory, or read from a file (a bare archive, or the payload of an
// updater executable) an entry at a time. Either way its table is decoded once and each entry is streamed
// through StreamEntry, so that reading needs memory for one entry's stored bytes and the decoder's workspace.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/delta_decoder.h"
#include "archive/entry_stream.h"
#include "archive/payload_sums.h"

struct LoadedArchive {
    std::vector<unsigned char> image;       // an archive held in memory (empty when it is read from `file`)
    FILE* file = nullptr;                   // an archive read from a file, starting at `base`
    uint64_t base = 0;
    uint64_t size = 0;                      // the archive's bytes
    std::vector<unsigned char> tableBlock;  // an ArchiveTable: header and records
    std::vector<uint64_t> dataOffsets;      // one per record, summed as the updater's lookup sums them
    // The payload's sums, when the archive is the payload of an updater that carries them (resource UPDATE 103).
    int hasSums = 0;
    PayloadSumsResult sumsState = PayloadSumsDamaged;
    std::vector<unsigned char> sumsBytes;
    PayloadSums sums = {0, 0, 0, nullptr};

    LoadedArchive() = default;
    LoadedArchive(const LoadedArchive&) = delete;
    LoadedArchive& operator=(const LoadedArchive&) = delete;
    ~LoadedArchive();
};

// The archive bytes of an input file given on the command line, read whole.
int LoadArchiveInput(const std::string& path, std::vector<unsigned char>* bytes, std::string* error);

// Opens the image (taken over from `image`): magic, table place and size, records. 0 with a reason in `error`.
int OpenLoadedArchive(std::vector<unsigned char>* image, LoadedArchive* archive, std::string* error);

// Opens an archive file, or the payload (and its sums) of an updater executable, reading only the headers and
// the table. 0 with a reason in `error`.
int OpenArchiveFile(const std::string& path, LoadedArchive* archive, std::string* error);

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

// Hands the entry's file bytes to `output` in pieces, and their CRC-32 in `*sum`. 0 with the reason in `error`
// for a damaged entry, or when `output` stopped (its reason is the caller's). A delta entry reads its old file
// through `old` (without one it is refused).
int StreamLoadedEntry(const LoadedArchive& archive, uint32_t index, EntryOutput output, void* context,
                      uint32_t* sum, std::string* error, const OldFileReader* old = nullptr);

// An old file for a delta entry, read with positioned reads. Without a file (never opened) it reads as zeros:
// a delta's commands can then be checked without the old file, though not the bytes they make.
struct OldFileInput {
    FILE* file = nullptr;
    uint64_t size = 0;
    OldFileInput() = default;
    OldFileInput(const OldFileInput&) = delete;
    OldFileInput& operator=(const OldFileInput&) = delete;
    ~OldFileInput();
};
int OpenOldFile(const std::string& path, OldFileInput* old, std::string* error);
OldFileReader OldFileReaderOf(OldFileInput* old);

// The delta header of entry `index`; 0 when it is no delta or the header is damaged.
int LoadedDeltaBase(const LoadedArchive& archive, uint32_t index, DeltaBase* base);

// "" when the file at `path` is the old file delta entry `index` was made from; else why not (missing, another
// size or SHA-256), for the user.
std::string CheckOldFile(const LoadedArchive& archive, uint32_t index, const std::string& path);

// The entry's file bytes, descrambled and decoded. 0 with the reason in `error` for a damaged entry.
int DecodeLoadedEntry(const LoadedArchive& archive, uint32_t index, std::vector<unsigned char>* data,
                      std::string* error);

// Whether the payload's sums hold: "" when they do (or there are none), else what is wrong with the sums
// resource or the table.
std::string CheckTableSums(const LoadedArchive& archive);
