#include "delta_encoder.h"

#include <cstring>
#include <vector>

#include "archive/delta_format.h"
#include "block_encoder.h"
#include "support/crc32.h"

namespace {

const size_t BlockSize = 16;          // bytes hashed per index entry
const size_t SegmentSize = 8u << 20;  // new bytes held at a time
const unsigned OldWindowBits = 20;    // the old file is read in aligned windows of 1 MiB,
const size_t OldWindows = DeltaOldWindowsHeld;  // this many held, the least recently used one replaced
const size_t SeedMost = 4096;         // an exact match is measured this far: enough to tell alignments apart
const int64_t NewAlignmentGain = 8;   // bytes a new alignment must match beyond the current one's
const size_t StretchMost = 16;        // differing bytes in a row (but for short equal runs) that go as new bytes
const size_t StretchEnd = 4;          // equal bytes in a row that end such a stretch
const uint64_t HashMultiplier = 0x100000001B3ull;

int ReadRange(FILE* file, uint64_t offset, unsigned char* bytes, size_t count)
{
    return SeekFile(file, offset) && fread(bytes, 1, count, file) == count;
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

// The old file read at any offset through OldWindows windows.
struct OldCache {
    FILE* file;
    uint64_t size;
    std::vector<unsigned char> bytes;
    size_t windows;                 // held at most: OldWindows, fewer for a small file
    uint64_t windowOf[OldWindows];  // window number + 1; 0: empty
    uint64_t usedAt[OldWindows];
    uint64_t clock;
    size_t last;
    int failed;
};

// The bytes of `at`'s window from `at` on (`*ahead` of them) and before it (`*behind`, `at` included); null when
// `at` is outside the file or its window cannot be read.
const unsigned char* OldSpan(OldCache* c, uint64_t at, size_t* ahead, size_t* behind)
{
    if (at >= c->size)
        return nullptr;
    uint64_t window = (at >> OldWindowBits) + 1;
    size_t slot = c->last;
    if (c->windowOf[slot] != window) {
        slot = 0;
        for (size_t i = 0; i < c->windows; i++) {
            if (c->windowOf[i] == window) {
                slot = i;
                break;
            }
            if (c->usedAt[i] < c->usedAt[slot])
                slot = i;
        }
        if (c->windowOf[slot] != window) {
            uint64_t from = (window - 1) << OldWindowBits;
            uint64_t rest = c->size - from;
            size_t count = rest < ((size_t)1 << OldWindowBits) ? (size_t)rest : (size_t)1 << OldWindowBits;
            c->windowOf[slot] = 0;
            if (!ReadRange(c->file, from, c->bytes.data() + (slot << OldWindowBits), count)) {
                c->failed = 1;
                return nullptr;
            }
            c->windowOf[slot] = window;
        }
        c->last = slot;
        c->usedAt[slot] = ++c->clock;
    }
    uint64_t from = (window - 1) << OldWindowBits;
    uint64_t end = c->size - from < ((uint64_t)1 << OldWindowBits) ? c->size : from + ((uint64_t)1 << OldWindowBits);
    *ahead = (size_t)(end - at);
    *behind = (size_t)(at - from + 1);
    return c->bytes.data() + (slot << OldWindowBits) + (at - from);
}

// 1 when the old file has `value` at `at` (which may lie outside it).
inline int OldIs(OldCache* c, int64_t at, unsigned char value)
{
    size_t ahead, behind;
    const unsigned char* p = at >= 0 ? OldSpan(c, (uint64_t)at, &ahead, &behind) : nullptr;
    return p && *p == value;
}

// Equal bytes of the old file from `oldAt` and `fresh`, up to `most`.
size_t ExactForward(OldCache* c, uint64_t oldAt, const unsigned char* fresh, size_t most)
{
    size_t n = 0;
    while (n < most) {
        size_t ahead, behind;
        const unsigned char* old = OldSpan(c, oldAt + n, &ahead, &behind);
        if (!old)
            break;
        size_t limit = most - n < ahead ? most - n : ahead, k = 0;
        while (k < limit && old[k] == fresh[n + k])
            k++;
        n += k;
        if (k < limit)
            break;
    }
    return n;
}

// How far an approximate copy along old offset `oldAt` (new bytes `fresh`, up to `most`) is worth taking going
// forward: the length where matching bytes most outnumber differing ones (twice the matches less the length).
size_t ApproximateForward(OldCache* c, int64_t oldAt, const unsigned char* fresh, size_t most)
{
    int64_t score = 0, best = 0;
    size_t length = 0, i = 0;
    while (i < most && oldAt + (int64_t)i >= 0) {
        size_t ahead, behind;
        const unsigned char* old = OldSpan(c, (uint64_t)(oldAt + (int64_t)i), &ahead, &behind);
        if (!old)
            break;
        size_t limit = most - i < ahead ? most - i : ahead;
        for (size_t k = 0; k < limit; k++) {
            score += old[k] == fresh[i + k] ? 1 : -1;
            if (score > best) {
                best = score;
                length = i + k + 1;
            }
        }
        i += limit;
    }
    return length;
}

// The same going backward from before `oldAt` and before `fresh`.
size_t ApproximateBackward(OldCache* c, uint64_t oldAt, const unsigned char* fresh, size_t most)
{
    int64_t score = 0, best = 0;
    size_t length = 0, i = 0;
    if (most > oldAt)
        most = (size_t)oldAt;
    while (i < most) {
        size_t ahead, behind;
        const unsigned char* old = OldSpan(c, oldAt - i - 1, &ahead, &behind);
        if (!old)
            break;
        size_t limit = most - i < behind ? most - i : behind;
        for (size_t k = 0; k < limit; k++) {
            score += *(old - k) == *(fresh - i - 1 - k) ? 1 : -1;
            if (score > best) {
                best = score;
                length = i + k + 1;
            }
        }
        i += limit;
    }
    return length;
}

// The body as layout 1 blocks: one block gathered at a time.
struct BlockWriter {
    ByteSink sink;
    uint64_t written;
    int failed;
    uint64_t copyEnd;  // where the last copy ended in the old file
    std::vector<unsigned char> commands, differences, fresh;
    uint32_t output, count;
    uint64_t pendingAdd;  // the last command's add length, written once no more new bytes can join it
};

void Put(BlockWriter* w, const unsigned char* bytes, size_t count)
{
    if (w->failed || !count)
        return;
    if (!SinkWrite(w->sink, bytes, count))
        w->failed = 1;
    w->written += count;
}

void PutVarint(std::vector<unsigned char>* to, uint64_t value)
{
    do {
        unsigned char b = (unsigned char)(value & 0x7F);
        value >>= 7;
        to->push_back(value ? (unsigned char)(b | 0x80) : b);
    } while (value);
}

void CloseCommand(BlockWriter* w)
{
    if (w->count)
        PutVarint(&w->commands, w->pendingAdd);
    w->pendingAdd = 0;
}

void FlushBlock(BlockWriter* w)
{
    if (!w->output)
        return;
    CloseCommand(w);
    std::vector<unsigned char> head;
    PutVarint(&head, w->output);
    PutVarint(&head, w->count);
    Put(w, head.data(), head.size());
    Put(w, w->commands.data(), w->commands.size());
    Put(w, w->differences.data(), w->differences.size());
    Put(w, w->fresh.data(), w->fresh.size());
    w->commands.clear();
    w->differences.clear();
    w->fresh.clear();
    w->output = w->count = 0;
}

// Room for more output in the block (and for a new command, when asked), a new block begun when it is full.
uint32_t BlockRoom(BlockWriter* w, int newCommand)
{
    if (w->output == DeltaBlockOutputMost || (newCommand && w->count == DeltaBlockCommandsMost))
        FlushBlock(w);
    return DeltaBlockOutputMost - w->output;
}

// `length` new bytes as old bytes from `oldAt` plus their difference (a copy without one where they are equal).
int WriteCopyPiece(BlockWriter* w, OldCache* c, uint64_t oldAt, const unsigned char* now, size_t length)
{
    while (length) {
        uint32_t room = BlockRoom(w, 1);
        size_t take = length < room ? length : room;
        size_t mark = w->differences.size();
        unsigned char any = 0;
        for (size_t done = 0; done < take;) {
            size_t ahead, behind;
            const unsigned char* old = OldSpan(c, oldAt + done, &ahead, &behind);
            if (!old)
                return 0;
            size_t n = take - done < ahead ? take - done : ahead;
            for (size_t k = 0; k < n; k++) {
                unsigned char d = (unsigned char)(now[done + k] - old[k]);
                any |= d;
                w->differences.push_back(d);
            }
            done += n;
        }
        if (!any)
            w->differences.resize(mark);
        CloseCommand(w);
        int64_t distance = (int64_t)oldAt - (int64_t)w->copyEnd;
        PutVarint(&w->commands, ((uint64_t)take << 1) | (any ? 1 : 0));
        PutVarint(&w->commands, ((uint64_t)distance << 1) ^ (uint64_t)(distance >> 63));
        w->copyEnd = oldAt + take;
        w->count++;
        w->output += (uint32_t)take;
        oldAt += take;
        now += take;
        length -= take;
    }
    return 1;
}

// New bytes, joined to the last command of the block (or in one of their own).
void WriteAdd(BlockWriter* w, const unsigned char* bytes, size_t length)
{
    while (length) {
        uint32_t room = BlockRoom(w, w->count == 0);
        size_t take = length < room ? length : room;
        if (w->count == 0) {
            PutVarint(&w->commands, 0);
            w->count = 1;
        }
        w->fresh.insert(w->fresh.end(), bytes, bytes + take);
        w->pendingAdd += take;
        w->output += (uint32_t)take;
        bytes += take;
        length -= take;
    }
}

// Where WriteCopy stands: the copy's bytes before copyFrom are written; a stretch of differing bytes under way
// from `stretch`, and the equal bytes in a row seen since its last differing one.
struct CopySplit {
    size_t copyFrom, stretch, equalRun;
};

const size_t NoStretch = (size_t)-1;

// The stretch under way ended before `end`: long enough, it goes as new bytes after the copy before it.
int EndStretch(BlockWriter* w, OldCache* c, uint64_t oldAt, const unsigned char* now, CopySplit* split, size_t end)
{
    if (end - split->stretch >= StretchMost) {
        size_t from = split->copyFrom;
        if (split->stretch > from && !WriteCopyPiece(w, c, oldAt + from, now + from, split->stretch - from))
            return 0;
        WriteAdd(w, now + split->stretch, end - split->stretch);
        split->copyFrom = end;
    }
    split->stretch = NoStretch;
    split->equalRun = 0;
    return 1;
}

// An approximate copy, cut where a stretch of at least StretchMost bytes differs throughout (until StretchEnd equal
// bytes in a row): such a stretch travels as new bytes, which the codec reads in their own context, and the
// differences keep only the scattered changes that leave them mostly zero.
int WriteCopy(BlockWriter* w, OldCache* c, uint64_t oldAt, const unsigned char* now, size_t length)
{
    CopySplit split = {0, NoStretch, 0};
    for (size_t i = 0; i < length;) {
        size_t ahead, behind;
        const unsigned char* old = OldSpan(c, oldAt + i, &ahead, &behind);
        if (!old)
            return 0;
        size_t n = length - i < ahead ? length - i : ahead, k = 0;
        for (; k < n; k++) {
            if (old[k] != now[i + k]) {
                if (split.stretch == NoStretch)
                    split.stretch = i + k;
                split.equalRun = 0;
            } else if (split.stretch != NoStretch && ++split.equalRun == StretchEnd) {
                // Writing reads the old file again, which may move its windows: the span is taken anew.
                if (!EndStretch(w, c, oldAt, now, &split, i + k + 1 - StretchEnd))
                    return 0;
                k++;
                break;
            }
        }
        i += k;
    }
    if (split.stretch != NoStretch && !EndStretch(w, c, oldAt, now, &split, length - split.equalRun))
        return 0;
    size_t from = split.copyFrom;
    return from < length ? WriteCopyPiece(w, c, oldAt + from, now + from, length - from) : 1;
}

// The old file's exact match of the new bytes at `at`, through the index: its length (up to SeedMost) and old
// offset, or 0.
struct Seeker {
    const std::vector<Slot>* slots;
    unsigned bits;
    uint64_t stride;
    uint64_t hashOut;  // HashMultiplier ** BlockSize: takes the leaving byte out of the rolling hash
    size_t hashedAt;   // where `hash` was taken, or (size_t)-1
    uint64_t hash;
};

size_t Seed(Seeker* k, OldCache* c, const unsigned char* s, size_t at, size_t length, uint64_t* oldAt)
{
    if (at + BlockSize > length)
        return 0;
    if (k->hashedAt != (size_t)-1 && at == k->hashedAt + 1)
        k->hash = k->hash * HashMultiplier + s[at + BlockSize - 1] + 1 - k->hashOut * (s[at - 1] + 1u);
    else
        k->hash = HashBlock(s + at);
    k->hashedAt = at;
    const Slot& slot = (*k->slots)[SlotOf(k->hash, k->bits)];
    if (!slot.where || slot.check != (uint32_t)k->hash)
        return 0;
    *oldAt = (uint64_t)(slot.where - 1) * k->stride;
    size_t most = length - at < SeedMost ? length - at : SeedMost;
    size_t n = ExactForward(c, *oldAt, s + at, most);
    return n >= BlockSize ? n : 0;
}

// Counters of one segment's work, and where its last copy's alignment leaves the next segment.
struct SegmentState {
    int64_t lastOffset;  // old offset less new offset of the alignment under way
    uint64_t copied, added;
};

// One segment of the new file (`s`, `length` bytes from new offset `base`): the scan finds where a new alignment
// of old and new beats the one under way by more than NewAlignmentGain bytes; the stretch between is the
// old alignment's approximate copy as far as it pays, new bytes, then the new alignment's copy reaching back.
int EncodeSegment(Seeker* k, OldCache* c, BlockWriter* w, const unsigned char* s, size_t length, uint64_t base,
                  SegmentState* state)
{
    size_t scan = 0, lastScan = 0, len = 0;
    int64_t lastPos = (int64_t)base + state->lastOffset;
    uint64_t pos = 0;
    while (scan < length) {
        int64_t oldScore = 0;
        size_t scsc = scan += len;
        len = 0;
        for (; scan < length; scan++) {
            len = Seed(k, c, s, scan, length, &pos);
            for (; scsc < scan + len; scsc++)
                oldScore += OldIs(c, (int64_t)(base + scsc) + state->lastOffset, s[scsc]);
            if ((len && (int64_t)len == oldScore) || (int64_t)len > oldScore + NewAlignmentGain)
                break;
            oldScore -= OldIs(c, (int64_t)(base + scan) + state->lastOffset, s[scan]);
        }
        if (c->failed)
            return 0;
        if ((int64_t)len == oldScore && scan < length)
            continue;
        size_t forward = ApproximateForward(c, lastPos, s + lastScan, scan - lastScan);
        size_t backward = scan < length ? ApproximateBackward(c, pos, s + scan, scan - lastScan) : 0;
        if (lastScan + forward > scan - backward) {
            // Both reach over the same bytes: split where the forward one stops paying against the other.
            size_t overlap = lastScan + forward - (scan - backward);
            int64_t score = 0, best = 0;
            size_t keep = 0;
            for (size_t i = 0; i < overlap; i++) {
                score += OldIs(c, lastPos + (int64_t)(forward - overlap + i), s[lastScan + forward - overlap + i]);
                score -= OldIs(c, (int64_t)(pos - backward + i), s[scan - backward + i]);
                if (score > best) {
                    best = score;
                    keep = i + 1;
                }
            }
            forward += keep - overlap;
            backward -= keep;
        }
        if (forward && !WriteCopy(w, c, (uint64_t)lastPos, s + lastScan, forward))
            return 0;
        WriteAdd(w, s + lastScan + forward, scan - backward - lastScan - forward);
        state->copied += forward;
        state->added += scan - backward - lastScan - forward;
        if (scan < length) {
            lastScan = scan - backward;
            lastPos = (int64_t)(pos - backward);
            state->lastOffset = (int64_t)pos - (int64_t)(base + scan);
        }
    }
    return !c->failed;
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

    OldCache cache;
    cache.file = oldFile;
    cache.size = oldSize;
    uint64_t fileWindows = (oldSize >> OldWindowBits) + 1;
    cache.windows = fileWindows < OldWindows ? (size_t)fileWindows : OldWindows;
    cache.bytes.resize(cache.windows << OldWindowBits);
    memset(cache.windowOf, 0, sizeof cache.windowOf);
    memset(cache.usedAt, 0, sizeof cache.usedAt);
    cache.clock = 0;
    cache.last = 0;
    cache.failed = 0;
    Seeker seeker = {&slots, bits, stride, 1, (size_t)-1, 0};
    for (size_t i = 0; i < BlockSize; i++)
        seeker.hashOut *= HashMultiplier;
    BlockWriter writer;
    writer.sink = body;
    writer.written = 0;
    writer.failed = 0;
    writer.copyEnd = 0;
    writer.output = writer.count = 0;
    writer.pendingAdd = 0;
    SegmentState state = {0, 0, 0};
    std::vector<unsigned char> segment(SegmentSize);
    result->newSum = 0;
    for (uint64_t segmentStart = 0; segmentStart < newSize;) {
        size_t length = newSize - segmentStart < SegmentSize ? (size_t)(newSize - segmentStart) : SegmentSize;
        if (!ReadRange(newFile, segmentStart, segment.data(), length)) {
            *error = "read error in the new file";
            return 0;
        }
        result->newSum = Crc32Update(result->newSum, segment.data(), length);
        PublishEncodeProgress((size_t)segmentStart);
        seeker.hashedAt = (size_t)-1;
        if (!EncodeSegment(&seeker, &cache, &writer, segment.data(), length, segmentStart, &state)) {
            *error = "read error in the old file";
            return 0;
        }
        segmentStart += length;
    }
    FlushBlock(&writer);
    if (writer.failed) {
        *error = "write error in a temporary file";
        return 0;
    }
    result->copied = state.copied;
    result->added = state.added;
    result->bodySize = writer.written;
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
