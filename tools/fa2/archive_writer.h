#pragma once
// Writes update archives; the updater only reads them.
#include <cstdint>
#include <string>
#include <vector>

#include "block_encoder.h"

enum PackMode {
    PackStore,            // never compressed
    PackCompressIfSmaller,
    PackCompressAlways    // compressed even when that grows it (tests and odd publishers)
};

struct WriterEntry {
    std::string name;                 // cp932 bytes, 1 to 259 of them, no NUL
    std::vector<unsigned char> data;  // the file's bytes
    uint64_t fileTime;                // FILETIME: 100 ns since 1601-01-01 UTC
    PackMode storage;
    int scramble;                     // 1: the stored bytes (compressed ones when compressed) are scrambled
};

// The compression method of an archive's entries and table.
enum ArchiveCodec {
    CodecBlock,  // the block method (the default; every updater reads it)
    CodecLzma    // LZMA: smaller, needs an updater that reads it and an fa2 with the encoder
};

struct WriterOptions {
    PackMode table;     // PackStore gives a plain table
    EncodeLevel level;  // for the entries and the table
    // Called after each entry is packed, with the entries and input bytes done so far (may be null).
    void (*progress)(void* context, size_t entriesDone, uint64_t bytesDone) = nullptr;
    void* progressContext = nullptr;
    ArchiveCodec codec = CodecBlock;
};

// The whole archive in `out`: header, entries in the given order padded to 16, then the table. 0 with one line
// in `error` for a bad name or an archive that does not fit 32-bit offsets.
int WriteArchive(const std::vector<WriterEntry>& entries, const WriterOptions& options,
                 std::vector<unsigned char>* out, std::string* error);

// The --codec option's value: "fa2" (the block method) or "lzma". 0 with one line in `error` for another name,
// or for lzma in a build without its encoder.
int ParseCodecName(const std::string& name, ArchiveCodec* codec, std::string* error);

// The --codec option's help line, naming the codecs this build has.
const char* CodecHelp();
