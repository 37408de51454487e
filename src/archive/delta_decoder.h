#pragma once
// Applying a delta entry: the new file is produced piece by piece into an EntryOutput while the old (installed)
// file is read only through the caller's positioned reads, a window of DeltaOldWindow bytes at a time. Memory is
// the body decoder's workspace plus that window (and, for approximate copies, one block of DeltaBlockOutputMost
// bytes and its commands), whatever the files' sizes. Portable: the updater's job, fa2 and
// the fuzzer share it.
//
// The updater's job, for a delta entry (EntryMethodOf == EntryMethodDelta):
//   planning: ReadDeltaBase on the entry's stored bytes gives the old file's size and SHA-256; open the installed
//     file and call CheckDeltaOldFile with its size and a reader over it. OldFileDiffers (or a missing file)
//     stops the update before anything moves; with base.hasWhole, FindWholeFallback names the entry to stage
//     instead.
//   staging: DeltaWorkspaceSize, then StreamDeltaEntry with the same reader and the staged file's output. The
//     output sees exactly unpackedSize bytes (hold them to the payload's sum as for every entry); returning 0
//     from it stops the work (Cancel).
#include <cstddef>
#include <cstdint>

#include "archive/archive_format.h"
#include "archive/delta_format.h"
#include "archive/entry_stream.h"
#include "support/sha256.h"

// Positioned reads of the old file: `count` bytes (never 0) from `offset` into `bytes`; 0 when they cannot be
// read. Reads never reach past the size the delta names.
struct OldFileReader {
    int (*read)(void* context, uint64_t offset, unsigned char* bytes, size_t count);
    void* context;
};

const size_t DeltaOldWindow = 64u << 10;

// What a delta entry needs of the installed file, from its header.
struct DeltaBase {
    uint32_t oldSize;
    unsigned char oldSha256[Sha256Size];
    EntryMethod bodyMethod;  // stored, block or LZMA
    int hasWhole;            // the next record holds the whole file (FindWholeFallback)
    unsigned char layout;    // DeltaLayoutExact or DeltaLayoutApproximate
    uint32_t bodySize;
};

// The header from the first DeltaHeaderSize stored bytes (descrambled here when the entry is scrambled). 0 when
// the entry is no delta or its header is not valid: damage.
int ReadDeltaBase(const ArchiveEntry* entry, const unsigned char* head, DeltaBase* base);

enum OldFileCheck {
    OldFileMatches = 1,
    OldFileDiffers,    // another size (nothing is read then) or another SHA-256
    OldFileUnreadable  // a read failed
};

// Holds the installed file (`oldFileSize` bytes, read through `old` in pieces of `bufferSize` into `buffer`) to
// the delta's base.
OldFileCheck CheckDeltaOldFile(const DeltaBase* base, uint64_t oldFileSize, const OldFileReader* old,
                               unsigned char* buffer, size_t bufferSize);

// The old file's SHA-256 (`oldFileSize` bytes, read in pieces of `bufferSize`). 0 when a read failed.
int HashOldFile(uint64_t oldFileSize, const OldFileReader* old, unsigned char* buffer, size_t bufferSize,
                unsigned char digest[Sha256Size]);

// A file built against several old releases carries one delta per distinct old file, records of the same name in
// a row. How many there are from `delta`, a record of `table`, on (0 when it is no delta).
uint32_t DeltaRunLength(const ArchiveTable* table, const ArchiveEntry* delta);

// The whole entry that rides along with the deltas from `delta` (--fallback-whole): the record right after their
// run, of the same name, stored with another method. 0 when there is none.
int FindWholeFallback(const ArchiveTable* table, const ArchiveEntry* delta, const ArchiveEntry** whole,
                      uint64_t* dataOffset);

// Workspace for StreamDeltaEntry (`stored`: the entry's storedSize bytes in memory, CheckEntryData passed). 0
// when the header or the body's parameters are damaged.
int DeltaWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, size_t* size);

// Hands the new file's unpackedSize bytes to `output` in order, reading the old file through `old`. Damaged
// bodies (copies past the old file's end, commands past unpackedSize, truncated or trailing data, overlong
// varints) give EntryStreamDamaged without a read or write outside `stored`, `workspace` and the old file's
// named size; a failed read of the old file gives EntryStreamOldUnreadable. Check the old file first: a delta
// applied to another file writes garbage that only the payload's sum would catch.
EntryStreamResult StreamDeltaEntry(const ArchiveEntry* entry, const unsigned char* stored, const OldFileReader* old,
                                   unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                   void* context);

// The same two over stored bytes fetched from a source (fa2 reads archives from files), in chosen pieces.
int DeltaSourceWorkspaceSize(const ArchiveEntry* entry, const StoredSource* source, const EntryPieces* pieces,
                             size_t* size);
EntryStreamResult StreamDeltaFromSource(const ArchiveEntry* entry, const StoredSource* source,
                                        const EntryPieces* pieces, const OldFileReader* old,
                                        unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                        void* context);
