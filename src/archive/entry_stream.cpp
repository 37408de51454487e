#include "archive/entry_stream.h"

#include <cstring>

#include "archive/block_decoder.h"

const EntryPieces DefaultEntryPieces = {192u << 10, 64u << 10};

namespace {

int PiecesAreValid(const EntryPieces* pieces)
{
    return pieces->output >= BlockStepMaxOutput && pieces->input >= 64 && pieces->input % 4 == 0 &&
           pieces->output <= (64u << 20) && pieces->input <= (64u << 20);
}

// The block method's window: the history a back-reference may reach, then room for one piece of new output.
size_t BlockWindowSize(const EntryPieces* pieces) { return BlockHistorySize + pieces->output; }

// A descrambled piece, behind the few bytes of the previous one the decoder has not taken yet.
size_t InputBufferSize(const EntryPieces* pieces) { return BlockStepMaxInput + pieces->input; }

// The entry's stored bytes as the decoders read them: straight from the image, or descrambled piece by piece into
// a buffer of the workspace.
struct StoredReader {
    const unsigned char* stored;
    uint32_t storedSize;
    uint32_t taken;  // stored bytes handed to the buffer so far
    ScrambleKey key;
    unsigned char* buffer;  // null: the stored bytes are read where they lie
    size_t piece;
};

void StartReader(StoredReader* reader, const ArchiveEntry* entry, const unsigned char* stored, unsigned char* buffer,
                 size_t piece)
{
    reader->stored = stored;
    reader->storedSize = entry->storedSize;
    reader->taken = 0;
    reader->buffer = EntryNeedsCopy(entry) ? buffer : nullptr;
    reader->piece = piece;
    StartDescramble(&reader->key, entry->storedSize);
}

int ReaderHasMore(const StoredReader* reader) { return reader->taken < reader->storedSize; }

// Moves the `keep` bytes not yet read at `from` to the buffer's start and puts the next piece behind them; sets
// the span [*begin, *end) to read next. Reading in place, the whole stored range is the one span.
void NextStoredSpan(StoredReader* reader, const unsigned char* from, size_t keep, const unsigned char** begin,
                    const unsigned char** end)
{
    if (!reader->buffer) {
        reader->taken = reader->storedSize;
        *begin = reader->stored;
        *end = reader->stored + reader->storedSize;
        return;
    }
    if (keep)
        memmove(reader->buffer, from, keep);
    uint32_t rest = reader->storedSize - reader->taken;
    size_t count = rest < reader->piece ? rest : reader->piece;
    unsigned char* piece = reader->buffer + keep;
    if (count)
        memcpy(piece, reader->stored + reader->taken, count);
    DescramblePiece(&reader->key, piece, count);
    reader->taken += (uint32_t)count;
    *begin = reader->buffer;
    *end = piece + count;
}

EntryStreamResult StreamStored(const ArchiveEntry* entry, const unsigned char* stored, const EntryPieces* pieces,
                               unsigned char* workspace, EntryOutput output, void* context)
{
    if (entry->unpackedSize != entry->storedSize)
        return EntryStreamDamaged;
    StoredReader reader;
    StartReader(&reader, entry, stored, workspace, pieces->input);
    const size_t piece = reader.buffer ? pieces->input : pieces->output;
    for (uint32_t at = 0; at < entry->storedSize;) {
        size_t count = entry->storedSize - at < piece ? entry->storedSize - at : piece;
        const unsigned char* bytes = stored + at;
        if (reader.buffer) {
            const unsigned char* end;
            NextStoredSpan(&reader, nullptr, 0, &bytes, &end);
            count = (size_t)(end - bytes);
        }
        if (!output(context, bytes, count))
            return EntryStreamStopped;
        at += (uint32_t)count;
    }
    return EntryStreamDone;
}

// Hands out the window's bytes from `*pending` to `end`, and marks them handed out.
int HandOut(unsigned char** pending, unsigned char* end, EntryOutput output, void* context)
{
    if (end == *pending)
        return 1;
    int ok = output(context, *pending, (size_t)(end - *pending));
    *pending = end;
    return ok;
}

EntryStreamResult StreamBlock(const ArchiveEntry* entry, const unsigned char* stored, const EntryPieces* pieces,
                              unsigned char* workspace, EntryOutput output, void* context)
{
    unsigned char* const window = workspace;
    const size_t windowSize = BlockWindowSize(pieces);
    StoredReader reader;
    StartReader(&reader, entry, stored, workspace + windowSize, pieces->input);
    const unsigned char *ip, *iend;
    NextStoredSpan(&reader, nullptr, 0, &ip, &iend);
    BlockDecoder decoder;
    if (!StartBlock(&decoder, ip, (size_t)(iend - ip), window))
        return EntryStreamDamaged;

    uint64_t base = 0;  // the entry's offset of window[0]
    unsigned char* pending = window;
    for (;;) {
        uint64_t toEnd = entry->unpackedSize - base;  // from window[0] to the entry's last byte
        int moreOutput = toEnd > windowSize;
        unsigned char* oend = window + (moreOutput ? windowSize : (size_t)toEnd);
        switch (DecodeBlockSpan(&decoder, window, oend, moreOutput, ReaderHasMore(&reader))) {
        case BlockSpanNeedRoom: {
            // Out with the new bytes, then keep the last 8192 as history at the window's start.
            if (!HandOut(&pending, decoder.op, output, context))
                return EntryStreamStopped;
            unsigned char* keep = decoder.op - BlockHistorySize;
            memmove(window, keep, BlockHistorySize);
            base += (uint64_t)(keep - window);
            decoder.op = window + BlockHistorySize;
            pending = decoder.op;
            break;
        }
        case BlockSpanNeedInput:
            NextStoredSpan(&reader, decoder.ip, (size_t)(decoder.iend - decoder.ip), &decoder.ip, &decoder.iend);
            break;
        case BlockSpanEnd:
            if (base + (uint64_t)(decoder.op - window) != entry->unpackedSize)
                return EntryStreamDamaged;
            return HandOut(&pending, decoder.op, output, context) ? EntryStreamDone : EntryStreamStopped;
        case BlockSpanFailed:
        default:
            return EntryStreamDamaged;
        }
    }
}

}  // namespace

int EntryWorkspaceSizeInPieces(const ArchiveEntry* entry, const unsigned char*, const EntryPieces* pieces,
                               size_t* size)
{
    if (!PiecesAreValid(pieces))
        return 0;
    if (EntryNeedsDecoding(entry))
        *size = BlockWindowSize(pieces) + (EntryNeedsCopy(entry) ? InputBufferSize(pieces) : 0);
    else
        *size = EntryNeedsCopy(entry) ? pieces->input : 0;
    return 1;
}

int EntryWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, size_t* size)
{
    return EntryWorkspaceSizeInPieces(entry, stored, &DefaultEntryPieces, size);
}

EntryStreamResult StreamEntryInPieces(const ArchiveEntry* entry, const unsigned char* stored,
                                      const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                                      EntryOutput output, void* context)
{
    size_t needed;
    if (!EntryWorkspaceSizeInPieces(entry, stored, pieces, &needed) || workspaceSize < needed)
        return EntryStreamDamaged;
    if (EntryNeedsDecoding(entry))
        return StreamBlock(entry, stored, pieces, workspace, output, context);
    return StreamStored(entry, stored, pieces, workspace, output, context);
}

EntryStreamResult StreamEntry(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* workspace,
                              size_t workspaceSize, EntryOutput output, void* context)
{
    return StreamEntryInPieces(entry, stored, &DefaultEntryPieces, workspace, workspaceSize, output, context);
}
