#include "archive/entry_stream.h"

#include <cstring>

namespace {

const size_t PieceSize = 1u << 16;

EntryStreamResult OutputInPieces(const unsigned char* bytes, uint32_t size, EntryOutput output, void* context)
{
    for (uint32_t at = 0; at < size;) {
        size_t piece = size - at < PieceSize ? size - at : PieceSize;
        if (!output(context, bytes + at, piece))
            return EntryStreamStopped;
        at += (uint32_t)piece;
    }
    return EntryStreamDone;
}

}  // namespace

// First form: the whole entry goes through the workspace. (A windowed decoder replaces this.)
int EntryWorkspaceSize(const ArchiveEntry* entry, const unsigned char*, size_t* size)
{
    uint64_t needed = (EntryNeedsCopy(entry) ? (uint64_t)entry->storedSize : 0) +
                      (EntryNeedsDecoding(entry) ? (uint64_t)entry->unpackedSize : 0);
    if (needed > (size_t)-1)
        return 0;
    *size = (size_t)needed;
    return 1;
}

EntryStreamResult StreamEntry(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* workspace,
                              size_t workspaceSize, EntryOutput output, void* context)
{
    size_t needed;
    if (!EntryWorkspaceSize(entry, stored, &needed) || workspaceSize < needed)
        return EntryStreamDamaged;
    unsigned char* copy = EntryNeedsCopy(entry) && entry->storedSize ? workspace : nullptr;
    unsigned char* decoded =
        EntryNeedsDecoding(entry) && entry->unpackedSize ? workspace + (copy ? entry->storedSize : 0) : nullptr;
    const unsigned char* data = DecodeEntryData(entry, stored, copy, decoded);
    if (!data)
        return EntryStreamDamaged;
    return OutputInPieces(data, entry->unpackedSize, output, context);
}
