#include "delta_encoder.h"

#include <cstring>
#include <vector>

#include "archive/delta_format.h"
#include "support/crc32.h"

namespace {

const size_t BlockSize = 16;          // bytes hashed per index entry
const size_t MinCopy = 20;            // shorter matches cost more as commands than as new bytes
const size_t SegmentSize = 8u << 20;  // new bytes held at a time
const size_t OldWindowSize = 1u << 20;
const size_t OldWindowBack = 64u << 10;  // of the window, kept before a candidate for backward extension
const uint64_t HashMultiplier = 0x100000001B3ull;

// Positioned reads over a file, through one window.
struct OldWindow {
    FILE* file;
    uint64_t size;
    std::vector<unsigned char> bytes;
    uint64_t start;
    size_t length;
    int failed;
};

int ReadRange(FILE* file, uint64_t offset, unsigned char* bytes, size_t count)
{
    return SeekFile(file, offset) && fread(bytes, 1, count, file) == count;
}

// Makes the window hold `at` (below size), from `at - back` where it can.
int Cover(OldWindow* w, uint64_t at, size_t back)
{
    if (at >= w->start && at < w->start + w->length)
        return 1;
    uint64_t from = at > back ? at - back : 0;
    uint64_t rest = w->size - from;
    size_t count = rest < w->bytes.size() ? (size_t)rest : w->bytes.size();
    w->start = from;
    w->length = 0;
    if (!ReadRange(w->file, from, w->bytes.data(), count)) {
        w->failed = 1;
        return 0;
    }
    w->length = count;
    return 1;
}

// Equal bytes of old from `oldAt` and `fresh` going forward, up to `most`.
size_t MatchForward(OldWindow* w, uint64_t oldAt, const unsigned char* fresh, size_t most)
{
    size_t n = 0;
    while (n < most && oldAt + n < w->size) {
        if (!Cover(w, oldAt + n, 0))
            return n;
        const unsigned char* old = w->bytes.data() + (oldAt + n - w->start);
        size_t available = (size_t)(w->start + w->length - (oldAt + n));
        size_t limit = most - n < available ? most - n : available;
        size_t k = 0;
        while (k < limit && old[k] == fresh[n + k])
            k++;
        n += k;
        if (k < limit)
            break;
    }
    return n;
}

// Equal bytes going backward from before `oldAt` and before `fresh`, up to `most`.
size_t MatchBackward(OldWindow* w, uint64_t oldAt, const unsigned char* fresh, size_t most)
{
    size_t n = 0;
    while (n < most && oldAt > n) {
        uint64_t at = oldAt - n - 1;
        if (!Cover(w, at, w->bytes.size() - 1))
            return n;
        size_t available = (size_t)(at - w->start + 1);
        size_t limit = most - n < available ? most - n : available;
        const unsigned char* old = w->bytes.data() + (at - w->start);
        size_t k = 0;
        while (k < limit && *(old - k) == *(fresh - n - 1 - k))
            k++;
        n += k;
        if (k < limit)
            break;
    }
    return n;
}

uint64_t HashBlock(const unsigned char* p)
{
    uint64_t h = 0;
    for (size_t i = 0; i < BlockSize; i++)
        h = h * HashMultiplier + p[i] + 1;
    return h;
}

struct Slot {
    uint32_t where;  // block index + 1; 0: empty
    uint32_t check;
};

size_t SlotOf(uint64_t hash, unsigned bits) { return (size_t)(hash >> (64 - bits)); }

// The body's commands, with a copy held back so that one that continues it merges into it.
struct CommandWriter {
    ByteSink sink;
    uint64_t written;
    uint64_t copyEnd;        // where the last written copy ended
    uint64_t pendingStart;   // the held-back copy
    uint64_t pendingLength;
    int failed;
};

void Put(CommandWriter* c, const unsigned char* bytes, size_t count)
{
    if (c->failed || !count)
        return;
    if (!SinkWrite(c->sink, bytes, count))
        c->failed = 1;
    c->written += count;
}

void PutVarint(CommandWriter* c, uint64_t value)
{
    unsigned char bytes[10];
    size_t n = 0;
    do {
        bytes[n] = (unsigned char)(value & 0x7F);
        value >>= 7;
        if (value)
            bytes[n] |= 0x80;
        n++;
    } while (value);
    Put(c, bytes, n);
}

void FlushCopy(CommandWriter* c)
{
    // A command's length is 32-bit: split longer runs.
    while (c->pendingLength) {
        uint64_t length = c->pendingLength < 0xFFFFFFFFu ? c->pendingLength : 0xFFFFFFFFu;
        int64_t distance = (int64_t)c->pendingStart - (int64_t)c->copyEnd;
        Put(c, &DeltaCommandCopy, 1);
        PutVarint(c, length);
        PutVarint(c, ((uint64_t)distance << 1) ^ (uint64_t)(distance >> 63));
        c->copyEnd = c->pendingStart + length;
        c->pendingStart += length;
        c->pendingLength -= length;
    }
}

void Copy(CommandWriter* c, uint64_t start, uint64_t length)
{
    if (c->pendingLength && c->pendingStart + c->pendingLength == start) {
        c->pendingLength += length;
        return;
    }
    FlushCopy(c);
    c->pendingStart = start;
    c->pendingLength = length;
}

void Add(CommandWriter* c, const unsigned char* bytes, size_t count)
{
    if (!count)
        return;
    FlushCopy(c);
    Put(c, &DeltaCommandAdd, 1);
    PutVarint(c, count);
    Put(c, bytes, count);
}

// The index: a block every `stride` bytes of the old file, the later one kept on a collision. The SHA-256 is
// taken on the same pass.
int BuildIndex(FILE* oldFile, uint64_t oldSize, uint64_t stride, unsigned bits, std::vector<Slot>* slots,
               Sha256* sha, std::string* error)
{
    std::vector<unsigned char> piece(SegmentSize + BlockSize);
    size_t carried = 0;  // bytes of the previous piece kept at the front
    uint64_t base = 0;   // old offset of piece[0]
    if (!SeekFile(oldFile, 0)) {
        *error = "cannot read the old file";
        return 0;
    }
    uint64_t next = 0;  // next sampled offset
    while (base + carried < oldSize) {
        uint64_t rest = oldSize - base - carried;
        size_t want = rest < SegmentSize ? (size_t)rest : SegmentSize;
        if (fread(piece.data() + carried, 1, want, oldFile) != want) {
            *error = "read error in the old file";
            return 0;
        }
        Sha256Update(sha, piece.data() + carried, want);
        size_t have = carried + want;
        for (; next + BlockSize <= base + have; next += stride) {
            uint64_t h = HashBlock(piece.data() + (next - base));
            Slot& s = (*slots)[SlotOf(h, bits)];
            s.where = (uint32_t)(next / stride) + 1;
            s.check = (uint32_t)h;
        }
        // Keep what the next sampled block needs of this piece.
        uint64_t keepFrom = next < base + have ? next : base + have;
        carried = (size_t)(base + have - keepFrom);
        memmove(piece.data(), piece.data() + (keepFrom - base), carried);
        base = keepFrom;
    }
    return 1;
}

}  // namespace

int EncodeDelta(FILE* oldFile, uint64_t oldSize, FILE* newFile, uint64_t newSize, const ByteSink& body,
                DeltaEncodeResult* result, std::string* error)
{
    // Twice the slots there are blocks, up to the index's size; past that the stride grows instead.
    unsigned bits = 10;
    while (bits < DeltaIndexBits && ((uint64_t)1 << bits) < 2 * oldSize)
        bits++;
    uint64_t half = ((uint64_t)1 << bits) / 2;
    uint64_t stride = oldSize > half ? (oldSize + half - 1) / half : 1;
    std::vector<Slot> slots((size_t)1 << bits, Slot{0, 0});
    Sha256 sha;
    StartSha256(&sha);
    if (!BuildIndex(oldFile, oldSize, stride, bits, &slots, &sha, error))
        return 0;
    FinishSha256(&sha, result->oldSha256);

    OldWindow window = {oldFile, oldSize, std::vector<unsigned char>(OldWindowSize), 0, 0, 0};
    CommandWriter commands = {body, 0, 0, 0, 0, 0};
    std::vector<unsigned char> segment(SegmentSize);
    result->copied = result->added = 0;
    result->newSum = 0;
    uint64_t hashOut = 1;  // HashMultiplier ** BlockSize: takes the leaving byte out of the rolling hash
    for (size_t i = 0; i < BlockSize; i++)
        hashOut *= HashMultiplier;
    for (uint64_t segmentStart = 0; segmentStart < newSize;) {
        size_t length = newSize - segmentStart < SegmentSize ? (size_t)(newSize - segmentStart) : SegmentSize;
        if (!ReadRange(newFile, segmentStart, segment.data(), length)) {
            *error = "read error in the new file";
            return 0;
        }
        result->newSum = Crc32Update(result->newSum, segment.data(), length);
        const unsigned char* s = segment.data();
        size_t pos = 0, literal = 0;  // literal: first byte not yet covered by a command
        uint64_t h = length >= BlockSize ? HashBlock(s) : 0;
        while (pos + BlockSize <= length) {
            const Slot& slot = slots[SlotOf(h, bits)];
            size_t forward = 0, backward = 0;
            uint64_t oldAt = 0;
            if (slot.where && slot.check == (uint32_t)h) {
                oldAt = (uint64_t)(slot.where - 1) * stride;
                if (Cover(&window, oldAt, OldWindowBack))
                    forward = MatchForward(&window, oldAt, s + pos, length - pos);
                if (forward >= BlockSize)
                    backward = MatchBackward(&window, oldAt, s + pos, pos - literal);
            }
            if (window.failed) {
                *error = "read error in the old file";
                return 0;
            }
            if (forward >= BlockSize && forward + backward >= MinCopy) {
                Add(&commands, s + literal, pos - backward - literal);
                Copy(&commands, oldAt - backward, forward + backward);
                result->added += pos - backward - literal;
                result->copied += forward + backward;
                pos += forward;
                literal = pos;
                if (pos + BlockSize <= length)
                    h = HashBlock(s + pos);
                continue;
            }
            if (pos + BlockSize < length)
                h = h * HashMultiplier + s[pos + BlockSize] + 1 - hashOut * (s[pos] + 1u);
            pos++;
        }
        Add(&commands, s + literal, length - literal);
        result->added += length - literal;
        segmentStart += length;
    }
    FlushCopy(&commands);
    if (commands.failed) {
        *error = "write error in a temporary file";
        return 0;
    }
    result->bodySize = commands.written;
    return 1;
}

int FileSha256(FILE* file, uint64_t size, unsigned char digest[Sha256Size], std::string* error)
{
    std::vector<unsigned char> piece(1u << 20);
    Sha256 sha;
    StartSha256(&sha);
    for (uint64_t at = 0; at < size;) {
        size_t count = size - at < piece.size() ? (size_t)(size - at) : piece.size();
        if (!ReadRange(file, at, piece.data(), count)) {
            *error = "read error";
            return 0;
        }
        Sha256Update(&sha, piece.data(), count);
        at += count;
    }
    FinishSha256(&sha, digest);
    return 1;
}
