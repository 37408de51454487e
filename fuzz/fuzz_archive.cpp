// Opens an archive image held in memory and decodes every entry, as the updater and the fa2 tool do: whole, and
// streamed in pieces (small ones, so the window slides often), which must agree byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/archive_format.h"
#include "archive/block_decoder.h"
#include "archive/entry_stream.h"

namespace {

// What the harness holds of one entry at most, decoded whole or as a workspace: larger claims would only exhaust
// the fuzzer's own memory limit.
const size_t FuzzMemoryBound = 64u << 20;

struct Compared {
    const unsigned char* expected;  // the whole decoding, or null when it refused
    uint64_t at;
    uint32_t size;
};

int CompareOutput(void* context, const unsigned char* bytes, size_t count)
{
    Compared* c = (Compared*)context;
    if (count == 0 || c->at + count > c->size)
        __builtin_trap();  // never an empty piece, never more than the entry
    if (c->expected && memcmp(c->expected + c->at, bytes, count) != 0)
        __builtin_trap();
    c->at += count;
    return 1;
}

// The stored bytes fetched as the fa2 tool fetches them from a file; asking past them is a fault.
struct Source {
    const unsigned char* stored;
    uint32_t size;
};

int FetchStored(void* context, uint32_t offset, unsigned char* bytes, size_t count)
{
    Source* s = (Source*)context;
    if ((uint64_t)offset + count > s->size)
        __builtin_trap();
    memcpy(bytes, s->stored + offset, count);
    return 1;
}

// The same entry fetched piece by piece: the same verdict and the same bytes as from memory.
void FetchAndCompare(const ArchiveEntry* entry, const unsigned char* stored, const unsigned char* whole,
                     EntryStreamResult inMemory)
{
    static const EntryPieces pieces = {BlockStepMaxOutput + 13, 68};
    unsigned char head[8] = {0};
    memcpy(head, stored, entry->storedSize < sizeof head ? entry->storedSize : sizeof head);
    Source from = {stored, entry->storedSize};
    StoredSource source = {FetchStored, &from, head};
    size_t size;
    if (!SourceWorkspaceSize(entry, &source, &pieces, &size) || size > FuzzMemoryBound)
        return;
    unsigned char* workspace = (unsigned char*)malloc(size ? size : 1);
    Compared compared = {whole, 0, entry->unpackedSize};
    EntryStreamResult result =
        StreamEntryFromSource(entry, &source, &pieces, workspace, size, CompareOutput, &compared);
    free(workspace);
    if (result != inMemory)
        __builtin_trap();
}

// Streams the entry with an exact-size workspace and checks it against the whole decoding (which LZMA entries
// have not: there the streamed result stands alone).
void StreamAndCompare(const ArchiveEntry* entry, const unsigned char* stored, const unsigned char* whole)
{
    static const EntryPieces pieces = {BlockStepMaxOutput + 13, 64};
    size_t size;
    if (!EntryWorkspaceSizeInPieces(entry, stored, &pieces, &size) || size > FuzzMemoryBound)
        return;  // past 64 MB only a hostile LZMA dictionary: the updater's allocation fails, cleanly
    unsigned char* workspace = (unsigned char*)malloc(size ? size : 1);
    Compared compared = {whole, 0, entry->unpackedSize};
    EntryStreamResult result = StreamEntryInPieces(entry, stored, &pieces, workspace, size, CompareOutput, &compared);
    free(workspace);
    int lzma = EntryMethodOf(entry) == EntryMethodLzma;
    if ((!lzma && (result == EntryStreamDone) != (whole != nullptr)) || result == EntryStreamStopped)
        __builtin_trap();
    if (result == EntryStreamDone && compared.at != entry->unpackedSize)
        __builtin_trap();
    FetchAndCompare(entry, stored, lzma ? nullptr : whole, result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < ArchiveHeaderSize)
        return 0;
    ArchiveHeader header;
    ReadArchiveHeader(data, &header);
    uint32_t blockSize, tableLength;
    if (!ArchiveTableBlockSize(header.entryCount, &blockSize) || !LocateArchiveTable(&header, size, &tableLength))
        return 0;
    ArchiveTable* table = (ArchiveTable*)malloc(blockSize);
    if (!table)
        return 0;
    if (!FillArchiveTable(table, blockSize, data, size)) {
        free(table);
        return 0;
    }
    const ArchiveEntry* records = ArchiveTableEntries(table);
    uint64_t offset = ArchiveHeaderSize;
    for (uint32_t i = 0; i < header.entryCount; i++) {
        const ArchiveEntry* entry = &records[i];
        // The lookup finds this record or an earlier one of the same name, at the offset the walk gives.
        char name[ArchiveNameSize + 1];
        memcpy(name, entry->name, ArchiveNameSize);
        name[ArchiveNameSize] = '\0';
        const ArchiveEntry* found;
        uint64_t foundOffset;
        if (!FindArchiveEntry(table, name, &found, &foundOffset) || found > entry ||
            (found == entry && foundOffset != offset))
            __builtin_trap();

        if (CheckEntryData(entry, offset, size) && entry->unpackedSize <= FuzzMemoryBound) {
            unsigned char* copy = EntryNeedsCopy(entry) ? (unsigned char*)malloc(entry->storedSize + 1) : nullptr;
            unsigned char* decoded =
                EntryNeedsDecoding(entry) ? (unsigned char*)malloc((size_t)entry->unpackedSize + 1) : nullptr;
            const unsigned char* bytes = DecodeEntryData(entry, data + offset, copy, decoded);
            if (bytes) {
                // Touch every byte the caller would write out.
                volatile unsigned char sum = 0;
                for (uint32_t k = 0; k < entry->unpackedSize; k++)
                    sum = sum + bytes[k];
            } else if (EntryMethodOf(entry) == EntryMethodStored) {
                __builtin_trap();  // only decoding can fail once the range is checked
            }
            StreamAndCompare(entry, data + offset, bytes);
            free(copy);
            free(decoded);
        }
        offset += PaddedStoredSize(entry->storedSize);
    }
    free(table);
    return 0;
}
