#include "archive/entry_stream.h"

#include <cstring>

#include "archive/block_decoder.h"
#include "archive/lzma_decoder.h"

const EntryPieces DefaultEntryPieces = {192u << 10, 64u << 10};

namespace {

int PiecesAreValid(const EntryPieces* pieces)
{
    return pieces->output >= BlockStepMaxOutput && pieces->input >= 64 && pieces->input % 4 == 0 &&
           pieces->output <= (64u << 20) && pieces->input <= (64u << 20);
}

// The block method's window: the history a back-reference may reach, then room for one piece of new output.
size_t BlockWindowSize(const EntryPieces* pieces) { return BlockHistorySize + pieces->output; }

// A descrambled piece, behind the few bytes of the previous one the decoder has not taken yet (a block step's or
// an LZMA packet's worth at most).
const size_t InputCarry = LzmaMaxPacketInput > BlockStepMaxInput ? LzmaMaxPacketInput : BlockStepMaxInput;
size_t InputBufferSize(const EntryPieces* pieces) { return InputCarry + pieces->input; }

// An LZMA entry's properties from its stored header (descrambled when the entry is scrambled), plain or pieced;
// `headerSize` is where its first stream (plain) or piece (pieced) begins. 0 when it has no valid header.
int ReadLzmaHeader(const ArchiveEntry* entry, const unsigned char* stored, LzmaProperties* properties,
                   size_t* headerSize)
{
    if (entry->storedSize < LzmaHeaderSize)
        return 0;
    unsigned char header[8];
    size_t count = entry->storedSize < sizeof header ? entry->storedSize : sizeof header;
    memcpy(header, stored, count);
    if (EntryNeedsCopy(entry)) {
        ScrambleKey key;
        StartDescramble(&key, entry->storedSize);
        DescramblePiece(&key, header, count);
    }
    const unsigned char* at = header;
    *headerSize = LzmaHeaderSize;
    if (header[0] == LzmaPiecedMark) {
        if (count < LzmaPiecedHeaderSize)
            return 0;
        at = header + 1;
        *headerSize = LzmaPiecedHeaderSize;
    }
    return ReadLzmaProperties(at[0], ReadLzmaDictionary(at), properties);
}

// The LZMA workspace: probabilities first (aligned, as the workspace's start is), then the window.
size_t LzmaProbabilityBytes(const LzmaProperties* properties)
{
    return (LzmaProbabilityCount(properties) * sizeof(uint16_t) + 15) & ~(size_t)15;
}

// 1 when the stored bytes go through the workspace's input buffer: descrambled, or fetched from a source.
int ReadsThroughBuffer(const ArchiveEntry* entry, const StoredSource* source)
{
    return EntryNeedsCopy(entry) || source;
}

int LzmaWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                      const EntryPieces* pieces, size_t* size)
{
    LzmaProperties properties;
    size_t headerSize;
    if (!ReadLzmaHeader(entry, stored, &properties, &headerSize))
        return 0;
    uint64_t needed = (uint64_t)LzmaProbabilityBytes(&properties) + LzmaWindowSize(&properties, entry->unpackedSize) +
                      (ReadsThroughBuffer(entry, source) ? InputBufferSize(pieces) : 0);
    if (needed > (size_t)-1)
        return 0;
    *size = (size_t)needed;
    return 1;
}

// The entry's stored bytes as the decoders read them: straight from the image, or piece by piece into a buffer
// of the workspace (descrambled, or fetched from a source).
struct StoredReader {
    const unsigned char* stored;
    const StoredSource* source;  // null: the stored bytes are in memory at `stored`
    uint32_t storedSize;
    uint32_t taken;  // stored bytes handed to the buffer so far
    int scrambled;
    int unreadable;  // the source failed: the span ends short and the decoder stops
    ScrambleKey key;
    unsigned char* buffer;  // null: the stored bytes are read where they lie
    size_t piece;
};

void StartReader(StoredReader* reader, const ArchiveEntry* entry, const unsigned char* stored,
                 const StoredSource* source, unsigned char* buffer, size_t piece)
{
    reader->stored = stored;
    reader->source = source;
    reader->storedSize = entry->storedSize;
    reader->taken = 0;
    reader->scrambled = EntryNeedsCopy(entry);
    reader->unreadable = 0;
    reader->buffer = ReadsThroughBuffer(entry, source) ? buffer : nullptr;
    reader->piece = piece;
    StartDescramble(&reader->key, entry->storedSize);
}

int ReaderHasMore(const StoredReader* reader) { return reader->taken < reader->storedSize; }

// A decoder that stopped short: on damaged data, or on a source that could not be read.
EntryStreamResult Refused(const StoredReader* reader)
{
    return reader->unreadable ? EntryStreamUnreadable : EntryStreamDamaged;
}

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
    if (count && reader->source && !reader->source->fetch(reader->source->context, reader->taken, piece, count)) {
        // Nothing more to ask for: the decoder stops on what it holds, and the result says why.
        reader->unreadable = 1;
        reader->taken = reader->storedSize;
        count = 0;
    } else if (count && !reader->source) {
        memcpy(piece, reader->stored + reader->taken, count);
    }
    if (reader->scrambled)
        DescramblePiece(&reader->key, piece, count);
    reader->taken += (uint32_t)count;
    *begin = reader->buffer;
    *end = piece + count;
}

EntryStreamResult StreamStored(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                               const EntryPieces* pieces, unsigned char* workspace, EntryOutput output, void* context)
{
    if (entry->unpackedSize != entry->storedSize)
        return EntryStreamDamaged;
    StoredReader reader;
    StartReader(&reader, entry, stored, source, workspace, pieces->input);
    const size_t piece = reader.buffer ? pieces->input : pieces->output;
    for (uint32_t at = 0; at < entry->storedSize;) {
        size_t count = entry->storedSize - at < piece ? entry->storedSize - at : piece;
        const unsigned char* bytes;
        if (!reader.buffer) {
            bytes = stored + at;
        } else {
            const unsigned char* end;
            NextStoredSpan(&reader, nullptr, 0, &bytes, &end);
            count = (size_t)(end - bytes);
            if (reader.unreadable)
                return EntryStreamUnreadable;
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

EntryStreamResult StreamBlock(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                              const EntryPieces* pieces, unsigned char* workspace, EntryOutput output, void* context)
{
    unsigned char* const window = workspace;
    const size_t windowSize = BlockWindowSize(pieces);
    StoredReader reader;
    StartReader(&reader, entry, stored, source, workspace + windowSize, pieces->input);
    const unsigned char *ip, *iend;
    NextStoredSpan(&reader, nullptr, 0, &ip, &iend);
    BlockDecoder decoder;
    if (!StartBlock(&decoder, ip, (size_t)(iend - ip), window))
        return Refused(&reader);

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
                return Refused(&reader);
            return HandOut(&pending, decoder.op, output, context) ? EntryStreamDone : EntryStreamStopped;
        case BlockSpanFailed:
        default:
            return Refused(&reader);
        }
    }
}

// An LZMA entry's input: the reader's current span [ip, spanEnd), whose end is the stored offset `taken`.
struct LzmaInput {
    StoredReader reader;
    const unsigned char* ip;
    const unsigned char* spanEnd;
};

uint32_t StoredOffset(const LzmaInput* in, const unsigned char* at)
{
    return in->reader.taken - (uint32_t)(in->spanEnd - at);
}

// At least `count` bytes at ip, reading on when the span holds fewer (count is below the input buffer's carry).
// 0 when the stored bytes end first.
int HaveInput(LzmaInput* in, size_t count)
{
    if ((size_t)(in->spanEnd - in->ip) < count && ReaderHasMore(&in->reader))
        NextStoredSpan(&in->reader, in->ip, (size_t)(in->spanEnd - in->ip), &in->ip, &in->spanEnd);
    return (size_t)(in->spanEnd - in->ip) >= count;
}

// One range-coded stream that ends at stored offset `streamEnd` with the entry's first `outputEnd` bytes.
EntryStreamResult DecodeLzmaStream(LzmaDecoder* decoder, LzmaInput* in, uint32_t streamEnd, EntryOutput output,
                                   void* context)
{
    for (;;) {
        int moreInput = in->reader.taken < streamEnd;
        decoder->ip = in->ip;
        decoder->iend = moreInput ? in->spanEnd : in->spanEnd - (in->reader.taken - streamEnd);
        LzmaSpanResult result = DecodeLzmaSpan(decoder, moreInput);
        in->ip = decoder->ip;
        switch (result) {
        case LzmaSpanFlush:
            if (!output(context, decoder->window + decoder->pending, decoder->pos - decoder->pending))
                return EntryStreamStopped;
            LzmaFlushed(decoder);
            break;
        case LzmaSpanNeedInput:
            NextStoredSpan(&in->reader, in->ip, (size_t)(in->spanEnd - in->ip), &in->ip, &in->spanEnd);
            break;
        case LzmaSpanEnd:
            // The piece's last bytes go out with it, so that a stopped or damaged next piece keeps them.
            if (decoder->pos != decoder->pending &&
                !output(context, decoder->window + decoder->pending, decoder->pos - decoder->pending))
                return EntryStreamStopped;
            LzmaFlushed(decoder);
            return EntryStreamDone;
        case LzmaSpanFailed:
        default:
            return Refused(&in->reader);
        }
    }
}

// The next piece's header: its decoded and stored sizes, each within what is left of the entry.
int ReadPieceHeader(const ArchiveEntry* entry, LzmaInput* in, uint32_t decodedSoFar, uint32_t* decoded,
                    uint32_t* streamEnd)
{
    if (!HaveInput(in, LzmaPieceHeaderSize))
        return 0;
    *decoded = LoadLe32(in->ip);
    uint32_t streamSize = LoadLe32(in->ip + 4);
    in->ip += LzmaPieceHeaderSize;
    uint32_t start = StoredOffset(in, in->ip);
    if (*decoded == 0 || *decoded > entry->unpackedSize - decodedSoFar || streamSize > entry->storedSize - start ||
        !LzmaCanDecodeTo((uint64_t)streamSize + LzmaHeaderSize, *decoded))
        return 0;
    *streamEnd = start + streamSize;
    return 1;
}

EntryStreamResult StreamLzma(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                             const EntryPieces* pieces, unsigned char* workspace, EntryOutput output, void* context)
{
    LzmaProperties properties;
    size_t headerSize;
    if (!ReadLzmaHeader(entry, stored, &properties, &headerSize))
        return EntryStreamDamaged;
    const int pieced = headerSize == LzmaPiecedHeaderSize;
    LzmaDecoder decoder;
    decoder.probabilities = (uint16_t*)(void*)workspace;
    decoder.window = workspace + LzmaProbabilityBytes(&properties);
    decoder.windowSize = LzmaWindowSize(&properties, entry->unpackedSize);
    decoder.piece = pieces->output;
    LzmaInput in;
    StartReader(&in.reader, entry, stored, source, decoder.window + decoder.windowSize, pieces->input);
    NextStoredSpan(&in.reader, nullptr, 0, &in.ip, &in.spanEnd);
    if (in.reader.unreadable)
        return EntryStreamUnreadable;
    in.ip += headerSize;  // the header was read above; the first span holds it whole

    // A plain entry is one stream to the stored end; a pieced one, streams each behind its header.
    uint32_t decoded = 0;
    do {
        uint32_t pieceSize = entry->unpackedSize, streamEnd = entry->storedSize;
        if (pieced && !ReadPieceHeader(entry, &in, decoded, &pieceSize, &streamEnd))
            return Refused(&in.reader);
        decoder.unpackedSize = decoded + pieceSize;
        if (!HaveInput(&in, 5) || StoredOffset(&in, in.ip) + 5 > streamEnd)
            return Refused(&in.reader);
        decoder.ip = in.ip;
        decoder.iend = in.spanEnd;
        if (!(decoded == 0 ? StartLzma(&decoder, &properties) : StartLzmaPiece(&decoder)))
            return EntryStreamDamaged;
        in.ip = decoder.ip;
        EntryStreamResult result = DecodeLzmaStream(&decoder, &in, streamEnd, output, context);
        if (result != EntryStreamDone)
            return result;
        decoded = decoder.unpackedSize;
    } while (decoded < entry->unpackedSize);
    // Nothing may follow the last piece.
    return StoredOffset(&in, in.ip) == entry->storedSize ? EntryStreamDone : EntryStreamDamaged;
}

// Both ways in: stored bytes in memory (source null), or fetched from a source (`stored` then holds the first
// min(8, storedSize) of them, for the LZMA header).
int WorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                  const EntryPieces* pieces, size_t* size)
{
    if (!PiecesAreValid(pieces))
        return 0;
    switch (EntryMethodOf(entry)) {
    case EntryMethodStored:
        *size = ReadsThroughBuffer(entry, source) ? pieces->input : 0;
        return 1;
    case EntryMethodBlock:
        *size = BlockWindowSize(pieces) + (ReadsThroughBuffer(entry, source) ? InputBufferSize(pieces) : 0);
        return 1;
    case EntryMethodLzma:
        return LzmaWorkspaceSize(entry, stored, source, pieces, size);
    default:
        return 0;
    }
}

EntryStreamResult Stream(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                         const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                         EntryOutput output, void* context)
{
    size_t needed;
    if (!WorkspaceSize(entry, stored, source, pieces, &needed) || workspaceSize < needed)
        return EntryStreamDamaged;
    switch (EntryMethodOf(entry)) {
    case EntryMethodStored: return StreamStored(entry, stored, source, pieces, workspace, output, context);
    case EntryMethodBlock: return StreamBlock(entry, stored, source, pieces, workspace, output, context);
    case EntryMethodLzma: return StreamLzma(entry, stored, source, pieces, workspace, output, context);
    default: return EntryStreamDamaged;
    }
}

}  // namespace

int EntryWorkspaceSizeInPieces(const ArchiveEntry* entry, const unsigned char* stored, const EntryPieces* pieces,
                               size_t* size)
{
    return WorkspaceSize(entry, stored, nullptr, pieces, size);
}

int EntryWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, size_t* size)
{
    return EntryWorkspaceSizeInPieces(entry, stored, &DefaultEntryPieces, size);
}

EntryStreamResult StreamEntryInPieces(const ArchiveEntry* entry, const unsigned char* stored,
                                      const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                                      EntryOutput output, void* context)
{
    return Stream(entry, stored, nullptr, pieces, workspace, workspaceSize, output, context);
}

EntryStreamResult StreamEntry(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* workspace,
                              size_t workspaceSize, EntryOutput output, void* context)
{
    return StreamEntryInPieces(entry, stored, &DefaultEntryPieces, workspace, workspaceSize, output, context);
}

int SourceWorkspaceSize(const ArchiveEntry* entry, const StoredSource* source, const EntryPieces* pieces,
                        size_t* size)
{
    return WorkspaceSize(entry, source->head, source, pieces, size);
}

EntryStreamResult StreamEntryFromSource(const ArchiveEntry* entry, const StoredSource* source,
                                        const EntryPieces* pieces, unsigned char* workspace, size_t workspaceSize,
                                        EntryOutput output, void* context)
{
    return Stream(entry, source->head, source, pieces, workspace, workspaceSize, output, context);
}
