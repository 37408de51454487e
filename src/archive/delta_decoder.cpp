#include "archive/delta_decoder.h"

#include <cstring>

#include "support/little_endian.h"

namespace {

// The header's fields, from its bytes as stored (descrambled here when the entry is scrambled).
int ParseDeltaHeader(const ArchiveEntry* entry, unsigned char* header, DeltaBase* base)
{
    if (EntryNeedsCopy(entry))
        DescrambleAt(entry->storedSize, 0, header, DeltaHeaderSize);
    if (memcmp(header, DeltaMark, sizeof DeltaMark) != 0 || (header[41] & ~DeltaHasWhole) ||
        header[42] > DeltaLayoutApproximate || header[43])
        return 0;
    switch (header[40]) {
    case EntryStorageStored: base->bodyMethod = EntryMethodStored; break;
    case EntryStorageCompressed: base->bodyMethod = EntryMethodBlock; break;
    case EntryStorageLzma: base->bodyMethod = EntryMethodLzma; break;
    default: return 0;
    }
    base->oldSize = LoadLe32(header + 4);
    memcpy(base->oldSha256, header + 8, Sha256Size);
    base->hasWhole = header[41] & DeltaHasWhole;
    base->layout = header[42];
    base->bodySize = LoadLe32(header + 44);
    return 1;
}

// The body read as an entry of its own: its method, its decoded size, the stored bytes after the header.
ArchiveEntry BodyEntry(const ArchiveEntry* entry, const DeltaBase* base)
{
    ArchiveEntry body;
    memset(&body, 0, sizeof body);
    body.storage = base->bodyMethod == EntryMethodLzma    ? EntryStorageLzma
                   : base->bodyMethod == EntryMethodBlock ? EntryStorageCompressed
                                                          : EntryStorageStored;
    body.unpackedSize = base->bodySize;
    body.storedSize = entry->storedSize - DeltaHeaderSize;
    return body;
}

// The body's stored bytes, fetched from the entry's (in memory or from the caller's source) and descrambled
// there when the entry is scrambled: the body's offsets are whole words into the entry, since the header is.
struct BodySource {
    const ArchiveEntry* entry;
    const unsigned char* stored;    // the entry's stored bytes in memory, or null
    const StoredSource* outer;      // else the caller's source
};

int FetchBody(void* context, uint32_t offset, unsigned char* bytes, size_t count)
{
    const BodySource* body = (const BodySource*)context;
    uint64_t at = (uint64_t)DeltaHeaderSize + offset;
    if (at + count > body->entry->storedSize)
        return 0;
    if (body->stored)
        memcpy(bytes, body->stored + at, count);
    else if (!body->outer->fetch(body->outer->context, (uint32_t)at, bytes, count))
        return 0;
    if (EntryNeedsCopy(body->entry))
        DescrambleAt(body->entry->storedSize, at, bytes, count);
    return 1;
}

enum ApplyFailure { ApplyOk, ApplyDamaged, ApplyOldUnreadable, ApplyStopped };
enum ParseState {
    ExpectTag, ExpectLength, ExpectDistance, Adding,  // layout 0
    ExpectBlockOutput, ExpectBlockCommands, ExpectCopy, ExpectCopyDistance, ExpectAdd, Differences, NewBytes  // 1
};

// One command of a layout 1 block, its copy's start resolved.
struct BlockCommand {
    uint64_t copyStart;
    uint32_t copyLength;
    uint32_t addLength;
    uint32_t hasDifference;
    uint32_t blockAt;  // where its copy begins in the block
};

const size_t BlockCommandsBytes = DeltaBlockCommandsMost * sizeof(BlockCommand);

// Turns the decoded body, as it comes, into the new file's bytes.
struct DeltaApplier {
    EntryOutput output;
    void* context;
    const OldFileReader* old;
    uint32_t oldSize;
    uint32_t newSize;
    uint32_t produced;
    ParseState state;
    unsigned char command;
    uint64_t value;  // the varint being read
    unsigned varintBytes;
    uint32_t length;     // of the command under way; for an ADD, what is left of it
    uint64_t copyEnd;    // where the previous copy ended in the old file
    unsigned char* window;  // DeltaOldWindow bytes of the old file from windowStart
    uint64_t windowStart;
    size_t windowLength;
    ApplyFailure failure;
    // Layout 1: the block under way, its bytes gathered in `block` and handed on whole.
    unsigned char* block;       // DeltaBlockOutputMost bytes
    BlockCommand* commands;     // DeltaBlockCommandsMost
    uint32_t blockOutput;       // o
    uint32_t blockCommands;     // k
    uint32_t commandsRead;
    uint32_t blockFilled;       // bytes of the block the commands read so far cover
    uint32_t cursor;            // the command whose difference or new bytes come next
    uint32_t cursorAt;          // where in the block they go
    uint32_t cursorLeft;        // how many of them are left
};

int Fail(DeltaApplier* a, ApplyFailure failure)
{
    a->failure = failure;
    return 0;
}

int Emit(DeltaApplier* a, const unsigned char* bytes, size_t count)
{
    a->produced += (uint32_t)count;
    return a->output(a->context, bytes, count) ? 1 : Fail(a, ApplyStopped);
}

// Old bytes [start, start + length), through the window, to the output or else into `into`; the range was
// checked against the old file's size.
int CopyOld(DeltaApplier* a, uint64_t start, uint32_t length, unsigned char* into)
{
    uint64_t at = start, end = start + length;
    while (at < end) {
        if (at < a->windowStart || at >= a->windowStart + a->windowLength) {
            uint64_t rest = (uint64_t)a->oldSize - at;
            size_t count = rest < DeltaOldWindow ? (size_t)rest : DeltaOldWindow;
            a->windowStart = at;
            a->windowLength = 0;
            if (!a->old->read(a->old->context, at, a->window, count))
                return Fail(a, ApplyOldUnreadable);
            a->windowLength = count;
        }
        uint64_t available = a->windowStart + a->windowLength - at;
        size_t count = (size_t)(end - at < available ? end - at : available);
        if (into) {
            memcpy(into, a->window + (at - a->windowStart), count);
            into += count;
        } else if (!Emit(a, a->window + (at - a->windowStart), count)) {
            return 0;
        }
        at += count;
    }
    return 1;
}

// One more varint byte; 1 when the varint is complete (in a->value).
int TakeVarintByte(DeltaApplier* a, unsigned char byte, int* complete)
{
    if (a->varintBytes == DeltaVarintMaxBytes)
        return Fail(a, ApplyDamaged);
    a->value |= (uint64_t)(byte & 0x7F) << (7 * a->varintBytes);
    a->varintBytes++;
    *complete = !(byte & 0x80);
    return 1;
}

int LengthRead(DeltaApplier* a)
{
    if (a->value == 0 || a->value > (uint64_t)(a->newSize - a->produced))
        return Fail(a, ApplyDamaged);
    a->length = (uint32_t)a->value;
    a->value = 0;
    a->varintBytes = 0;
    a->state = a->command == DeltaCommandAdd ? Adding : ExpectDistance;
    return 1;
}

int DistanceRead(DeltaApplier* a)
{
    int64_t distance = (int64_t)(a->value >> 1) ^ -(int64_t)(a->value & 1);
    int64_t start = (int64_t)a->copyEnd + distance;
    if (start < 0 || (uint64_t)start + a->length > a->oldSize)
        return Fail(a, ApplyDamaged);
    a->copyEnd = (uint64_t)start + a->length;
    a->state = ExpectTag;
    a->value = 0;
    a->varintBytes = 0;
    return CopyOld(a, (uint64_t)start, a->length, nullptr);
}

// The EntryOutput of the body: parses commands across piece boundaries.
int ApplyBodyPiece(void* context, const unsigned char* bytes, size_t count)
{
    DeltaApplier* a = (DeltaApplier*)context;
    size_t i = 0;
    while (i < count) {
        int complete = 0;
        switch (a->state) {
        case ExpectTag:
            a->command = bytes[i++];
            if (a->command != DeltaCommandAdd && a->command != DeltaCommandCopy)
                return Fail(a, ApplyDamaged);
            a->state = ExpectLength;
            break;
        case ExpectLength:
            if (!TakeVarintByte(a, bytes[i++], &complete) || (complete && !LengthRead(a)))
                return 0;
            break;
        case ExpectDistance:
            if (!TakeVarintByte(a, bytes[i++], &complete) || (complete && !DistanceRead(a)))
                return 0;
            break;
        case Adding: {
            size_t take = count - i < a->length ? count - i : a->length;
            if (!Emit(a, bytes + i, take))
                return 0;
            i += take;
            a->length -= (uint32_t)take;
            if (a->length == 0)
                a->state = ExpectTag;
            break;
        }
        default:
            return Fail(a, ApplyDamaged);  // a layout 1 state: never set for layout 0
        }
    }
    return 1;
}

// ---- Layout 1: blocks of approximate copies ----

int BlockOutputRead(DeltaApplier* a, uint64_t value)
{
    if (value == 0 || value > DeltaBlockOutputMost || value > (uint64_t)(a->newSize - a->produced))
        return Fail(a, ApplyDamaged);
    a->blockOutput = (uint32_t)value;
    a->state = ExpectBlockCommands;
    return 1;
}

int BlockCommandsRead(DeltaApplier* a, uint64_t value)
{
    if (value == 0 || value > DeltaBlockCommandsMost)
        return Fail(a, ApplyDamaged);
    a->blockCommands = (uint32_t)value;
    a->commandsRead = 0;
    a->blockFilled = 0;
    a->state = ExpectCopy;
    return 1;
}

int CopyRead(DeltaApplier* a, uint64_t value)
{
    uint64_t length = value >> 1;
    uint32_t hasDifference = (uint32_t)(value & 1);
    if (length > a->blockOutput - a->blockFilled || (hasDifference && length == 0))
        return Fail(a, ApplyDamaged);
    BlockCommand* c = &a->commands[a->commandsRead];
    c->copyStart = 0;
    c->copyLength = (uint32_t)length;
    c->addLength = 0;
    c->hasDifference = hasDifference;
    c->blockAt = a->blockFilled;
    a->blockFilled += (uint32_t)length;
    a->state = length ? ExpectCopyDistance : ExpectAdd;
    return 1;
}

int CopyDistanceRead(DeltaApplier* a, uint64_t value)
{
    BlockCommand* c = &a->commands[a->commandsRead];
    int64_t distance = (int64_t)(value >> 1) ^ -(int64_t)(value & 1);
    int64_t start = (int64_t)a->copyEnd + distance;
    if (start < 0 || (uint64_t)start + c->copyLength > a->oldSize)
        return Fail(a, ApplyDamaged);
    c->copyStart = (uint64_t)start;
    a->copyEnd = (uint64_t)start + c->copyLength;
    a->state = ExpectAdd;
    return 1;
}

// The next run of differences (or, once they are all in, of new bytes) in the block; the block goes to the
// output when both are done.
int NextRun(DeltaApplier* a)
{
    for (;;) {
        while (a->cursor < a->blockCommands) {
            const BlockCommand* c = &a->commands[a->cursor++];
            int differences = a->state == Differences;
            uint32_t length = differences ? (c->hasDifference ? c->copyLength : 0) : c->addLength;
            if (length) {
                a->cursorAt = c->blockAt + (differences ? 0 : c->copyLength);
                a->cursorLeft = length;
                return 1;
            }
        }
        if (a->state == NewBytes)
            break;
        a->state = NewBytes;
        a->cursor = 0;
    }
    a->state = ExpectBlockOutput;
    return Emit(a, a->block, a->blockOutput);
}

// Every copy of the block read from the old file into its place; the differences then go onto them.
int StartBlockBytes(DeltaApplier* a)
{
    if (a->blockFilled != a->blockOutput)
        return Fail(a, ApplyDamaged);
    for (uint32_t i = 0; i < a->blockCommands; i++) {
        const BlockCommand* c = &a->commands[i];
        if (c->copyLength && !CopyOld(a, c->copyStart, c->copyLength, a->block + c->blockAt))
            return 0;
    }
    a->state = Differences;
    a->cursor = 0;
    return NextRun(a);
}

int AddRead(DeltaApplier* a, uint64_t value)
{
    BlockCommand* c = &a->commands[a->commandsRead];
    if (value > a->blockOutput - a->blockFilled || (value == 0 && c->copyLength == 0))
        return Fail(a, ApplyDamaged);
    c->addLength = (uint32_t)value;
    a->blockFilled += (uint32_t)value;
    a->commandsRead++;
    if (a->commandsRead < a->blockCommands) {
        a->state = ExpectCopy;
        return 1;
    }
    return StartBlockBytes(a);
}

int ApproximateNumberRead(DeltaApplier* a)
{
    uint64_t value = a->value;
    a->value = 0;
    a->varintBytes = 0;
    switch (a->state) {
    case ExpectBlockOutput: return BlockOutputRead(a, value);
    case ExpectBlockCommands: return BlockCommandsRead(a, value);
    case ExpectCopy: return CopyRead(a, value);
    case ExpectCopyDistance: return CopyDistanceRead(a, value);
    default: return AddRead(a, value);
    }
}

// The EntryOutput of a layout 1 body.
int ApplyApproximatePiece(void* context, const unsigned char* bytes, size_t count)
{
    DeltaApplier* a = (DeltaApplier*)context;
    size_t i = 0;
    while (i < count) {
        if (a->state == Differences || a->state == NewBytes) {
            size_t take = count - i < a->cursorLeft ? count - i : a->cursorLeft;
            unsigned char* into = a->block + a->cursorAt;
            if (a->state == Differences) {
                for (size_t k = 0; k < take; k++)
                    into[k] = (unsigned char)(into[k] + bytes[i + k]);
            } else {
                memcpy(into, bytes + i, take);
            }
            i += take;
            a->cursorAt += (uint32_t)take;
            a->cursorLeft -= (uint32_t)take;
            if (a->cursorLeft == 0 && !NextRun(a))
                return 0;
            continue;
        }
        int complete = 0;
        if (!TakeVarintByte(a, bytes[i++], &complete) || (complete && !ApproximateNumberRead(a)))
            return 0;
    }
    return 1;
}

// Room the applier takes after the body decoder's: the old file's window, and for layout 1 one block.
size_t ApplierBytes(const DeltaBase* base)
{
    return DeltaOldWindow + (base->layout == DeltaLayoutApproximate ? DeltaBlockOutputMost + BlockCommandsBytes : 0);
}

int BodyWorkspaceSize(const ArchiveEntry* entry, const DeltaBase* base, const StoredSource* bodySource,
                      const EntryPieces* pieces, size_t* size)
{
    ArchiveEntry body = BodyEntry(entry, base);
    // The body's sizes are held to the rule of every entry before a byte of it is fetched.
    size_t inner;
    if (!CheckEntryData(&body, 0, body.storedSize) || !SourceWorkspaceSize(&body, bodySource, pieces, &inner) ||
        inner > (size_t)-1 - ApplierBytes(base) - 16)
        return 0;
    *size = ((inner + 15) & ~(size_t)15) + ApplierBytes(base);
    return 1;
}

// The header's bytes and the body's first ones (for an LZMA header), through the body source.
struct DeltaStart {
    DeltaBase base;
    BodySource body;
    unsigned char head[8];
    StoredSource bodySource;
};

int StartDelta(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* outer, DeltaStart* start,
               int* unreadable)
{
    *unreadable = 0;
    if (EntryMethodOf(entry) != EntryMethodDelta || entry->storedSize < DeltaHeaderSize)
        return 0;
    unsigned char header[DeltaHeaderSize];
    if (stored) {
        memcpy(header, stored, DeltaHeaderSize);
    } else if (!outer->fetch(outer->context, 0, header, DeltaHeaderSize)) {
        *unreadable = 1;
        return 0;
    }
    if (!ParseDeltaHeader(entry, header, &start->base))
        return 0;
    start->body = BodySource{entry, stored, outer};
    uint32_t bodyStored = entry->storedSize - DeltaHeaderSize;
    size_t headCount = bodyStored < sizeof start->head ? bodyStored : sizeof start->head;
    memset(start->head, 0, sizeof start->head);
    if (headCount && !FetchBody(&start->body, 0, start->head, headCount)) {
        *unreadable = 1;
        return 0;
    }
    start->bodySource = StoredSource{FetchBody, &start->body, start->head};
    return 1;
}

EntryStreamResult Apply(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* outer,
                        const EntryPieces* pieces, const OldFileReader* old, unsigned char* workspace,
                        size_t workspaceSize, EntryOutput output, void* context)
{
    DeltaStart start;
    int unreadable;
    if (!StartDelta(entry, stored, outer, &start, &unreadable))
        return unreadable ? EntryStreamUnreadable : EntryStreamDamaged;
    size_t needed;
    if (!BodyWorkspaceSize(entry, &start.base, &start.bodySource, pieces, &needed) || workspaceSize < needed)
        return EntryStreamDamaged;
    DeltaApplier a;
    memset(&a, 0, sizeof a);
    a.output = output;
    a.context = context;
    a.old = old;
    a.oldSize = start.base.oldSize;
    a.newSize = entry->unpackedSize;
    int approximate = start.base.layout == DeltaLayoutApproximate;
    a.state = approximate ? ExpectBlockOutput : ExpectTag;
    size_t inner = needed - ApplierBytes(&start.base);
    a.window = workspace + inner;
    if (approximate) {
        a.block = a.window + DeltaOldWindow;
        a.commands = (BlockCommand*)(a.block + DeltaBlockOutputMost);
    }
    a.failure = ApplyOk;
    ArchiveEntry body = BodyEntry(entry, &start.base);
    EntryStreamResult result = StreamEntryFromSource(&body, &start.bodySource, pieces, workspace, inner,
                                                     approximate ? ApplyApproximatePiece : ApplyBodyPiece, &a);
    switch (a.failure) {
    case ApplyDamaged: return EntryStreamDamaged;
    case ApplyOldUnreadable: return EntryStreamOldUnreadable;
    case ApplyStopped: return EntryStreamStopped;
    default: break;
    }
    if (result != EntryStreamDone)
        return result == EntryStreamUnreadable ? EntryStreamUnreadable : EntryStreamDamaged;
    if (a.state != (approximate ? ExpectBlockOutput : ExpectTag) || a.varintBytes || a.produced != a.newSize)
        return EntryStreamDamaged;
    return EntryStreamDone;
}

}  // namespace

int ReadDeltaBase(const ArchiveEntry* entry, const unsigned char* head, DeltaBase* base)
{
    if (EntryMethodOf(entry) != EntryMethodDelta || entry->storedSize < DeltaHeaderSize)
        return 0;
    unsigned char header[DeltaHeaderSize];
    memcpy(header, head, DeltaHeaderSize);
    return ParseDeltaHeader(entry, header, base);
}

int HashOldFile(uint64_t oldFileSize, const OldFileReader* old, unsigned char* buffer, size_t bufferSize,
                unsigned char digest[Sha256Size])
{
    Sha256 sha;
    StartSha256(&sha);
    for (uint64_t at = 0; at < oldFileSize;) {
        size_t count = oldFileSize - at < bufferSize ? (size_t)(oldFileSize - at) : bufferSize;
        if (!old->read(old->context, at, buffer, count))
            return 0;
        Sha256Update(&sha, buffer, count);
        at += count;
    }
    FinishSha256(&sha, digest);
    return 1;
}

OldFileCheck CheckDeltaOldFile(const DeltaBase* base, uint64_t oldFileSize, const OldFileReader* old,
                               unsigned char* buffer, size_t bufferSize)
{
    if (oldFileSize != base->oldSize)
        return OldFileDiffers;
    unsigned char digest[Sha256Size];
    if (!HashOldFile(oldFileSize, old, buffer, bufferSize, digest))
        return OldFileUnreadable;
    return memcmp(digest, base->oldSha256, Sha256Size) == 0 ? OldFileMatches : OldFileDiffers;
}

uint32_t DeltaRunLength(const ArchiveTable* table, const ArchiveEntry* delta)
{
    const ArchiveEntry* records = ArchiveTableEntries(table);
    const ArchiveEntry* end = records + table->header.entryCount;
    uint32_t count = 0;
    for (const ArchiveEntry* r = delta; r < end && EntryMethodOf(r) == EntryMethodDelta &&
                                        memcmp(r->name, delta->name, ArchiveNameSize) == 0;
         r++)
        count++;
    return count;
}

int FindWholeFallback(const ArchiveTable* table, const ArchiveEntry* delta, const ArchiveEntry** whole,
                      uint64_t* dataOffset)
{
    const ArchiveEntry* records = ArchiveTableEntries(table);
    uint32_t first = (uint32_t)(delta - records), run = DeltaRunLength(table, delta);
    if (run == 0 || first + run >= table->header.entryCount)
        return 0;
    uint64_t offset = ArchiveHeaderSize;
    for (uint32_t i = 0; i < first + run; i++)
        offset += PaddedStoredSize(records[i].storedSize);
    const ArchiveEntry* next = &records[first + run];
    if (memcmp(next->name, delta->name, ArchiveNameSize) != 0 || EntryMethodOf(next) == EntryMethodUnknown ||
        next->unpackedSize != delta->unpackedSize)
        return 0;
    *whole = next;
    *dataOffset = offset;
    return 1;
}

int DeltaWorkspaceSize(const ArchiveEntry* entry, const unsigned char* stored, size_t* size)
{
    DeltaStart start;
    int unreadable;
    return StartDelta(entry, stored, nullptr, &start, &unreadable) &&
           BodyWorkspaceSize(entry, &start.base, &start.bodySource, &DefaultEntryPieces, size);
}

EntryStreamResult StreamDeltaEntry(const ArchiveEntry* entry, const unsigned char* stored, const OldFileReader* old,
                                   unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                   void* context)
{
    return Apply(entry, stored, nullptr, &DefaultEntryPieces, old, workspace, workspaceSize, output, context);
}

int DeltaSourceWorkspaceSize(const ArchiveEntry* entry, const StoredSource* source, const EntryPieces* pieces,
                             size_t* size)
{
    DeltaStart start;
    int unreadable;
    return StartDelta(entry, nullptr, source, &start, &unreadable) &&
           BodyWorkspaceSize(entry, &start.base, &start.bodySource, pieces, size);
}

EntryStreamResult StreamDeltaFromSource(const ArchiveEntry* entry, const StoredSource* source,
                                        const EntryPieces* pieces, const OldFileReader* old,
                                        unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                        void* context)
{
    return Apply(entry, nullptr, source, pieces, old, workspace, workspaceSize, output, context);
}
