#pragma once
// Decoding an entry piece by piece into whatever takes its bytes (a staged file, a checksum), so that no entry is
// ever whole in memory and the payload is read where it lies in the image. Portable: the updater, the fa2 tool
// and the fuzzers share it.
#include <cstddef>
#include <cstdint>

#include "archive/archive_format.h"

// Takes the next `count` bytes of the entry's file (never 0 bytes); returns 0 to stop the decoding.
typedef int (*EntryOutput)(void* context, const unsigned char* bytes, size_t count);

enum EntryStreamResult {
    EntryStreamDone = 1,  // all unpackedSize bytes went to the output
    EntryStreamDamaged,   // the stored data does not decode to the entry's size (or its method is unknown)
    EntryStreamStopped,   // the output returned 0
    EntryStreamUnreadable, // the StoredSource could not be read
    EntryStreamOldUnreadable  // a delta's old file could not be read (StreamDeltaEntry)
};

// Sizes of the pieces an entry goes through: `output` bytes of decoded file at most per hand-over from the
// block method's window (at least BlockStepMaxOutput), `input` stored bytes per descrambled piece (a multiple of
// 4, at least 64). The defaults keep the block method's workspace near 270 KB whatever the entry's size; tests
// choose small ones to put piece boundaries where they want them.
struct EntryPieces {
    size_t output;
    size_t input;
};
extern const EntryPieces DefaultEntryPieces;

// Working memory StreamEntry needs for the entry: windows, tables and a buffer for descrambled pieces. About
// 270 KB for the block method whatever the entry's size; for LZMA, its tables and a window of min(dictionary,
// unpackedSize), read from the header at the start of `stored` (a dictionary over LzmaMaxDictionary is
// damage). 0 when the entry cannot be decoded at all (unknown method or parameters), which is damage. Call
// CheckEntryData first.
int EntryWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, size_t* size);

// Hands the entry's unpackedSize file bytes to `output`, in order, in pieces; never more than unpackedSize bytes
// in all, even from damaged data (whose result says so only at the end). `stored` is the entry's storedSize
// stored bytes (only read); `workspace` holds at least EntryWorkspaceSize bytes. Nothing outside `workspace` is
// written and nothing outside `stored` is read, whatever the stored bytes hold.
EntryStreamResult StreamEntry(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* workspace,
                              size_t workspaceSize, EntryOutput output, void* context);

// The same two with chosen piece sizes; the defaults above call these with DefaultEntryPieces.
int EntryWorkspaceSizeInPieces(const ArchiveEntry* entry, const unsigned char* stored, const EntryPieces* pieces,
                               size_t* size);
EntryStreamResult StreamEntryInPieces(const ArchiveEntry* entry, const unsigned char* stored,
                                      const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                                      EntryOutput output, void* context);

// Stored bytes that are not in memory (an archive file the fa2 tool reads): `fetch` fills `bytes` with `count`
// stored bytes from `offset` and returns 0 when it cannot; `head` holds the first min(8, storedSize) of them.
struct StoredSource {
    int (*fetch)(void* context, uint32_t offset, unsigned char* bytes, size_t count);
    void* context;
    const unsigned char* head;
};

// The same two for stored bytes taken from a source, a piece at a time through the workspace.
int SourceWorkspaceSize(const ArchiveEntry* entry, const StoredSource* source, const EntryPieces* pieces,
                        size_t* size);
EntryStreamResult StreamEntryFromSource(const ArchiveEntry* entry, const StoredSource* source,
                                        const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                                        EntryOutput output, void* context);
