#include "block_encoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/little_endian.h"

namespace {

const size_t WindowSize = 8192;  // farthest reach of a copy of 3 or more bytes
const size_t WindowMask = WindowSize - 1;
const size_t PairWindow = 2303;  // farthest reach of a 2-byte copy; 2304 would be the end code
const size_t MinMatch = 3;
const size_t MaxMatch = 282;

// ---- the block writer: flag bits go to the current flag word, bytes straight to the stream ----

struct BlockWriter {
    std::vector<unsigned char> out;
    size_t flagPos;  // where the current flag word sits
    uint32_t flag;
    unsigned used;  // bits of the current word already given
    const ByteSink* sink;  // where finished bytes go as the block grows (null: all stay in `out`)
    uint64_t flushed;      // bytes given to the sink so far
    int failed;            // the sink refused a write
};

const size_t FlushSize = 1u << 20;

void StartBlock(BlockWriter& w, size_t expected, const ByteSink* sink)
{
    w.out.clear();
    w.out.reserve(sink ? FlushSize + 1024 : expected);
    w.out.resize(4);
    w.flagPos = 0;
    w.flag = 0;
    w.used = 0;
    w.sink = sink;
    w.flushed = 0;
    w.failed = 0;
}

// Everything before the open flag word is final: it leaves for the sink once there is enough of it.
void FlushFinished(BlockWriter& w)
{
    if (!w.sink || w.flagPos < FlushSize)
        return;
    if (!w.failed && !SinkWrite(*w.sink, w.out.data(), w.flagPos))
        w.failed = 1;
    w.flushed += w.flagPos;
    w.out.erase(w.out.begin(), w.out.begin() + (std::ptrdiff_t)w.flagPos);
    w.flagPos = 0;
}

// The decoder reads the next flag word when it needs a 33rd bit, so its slot opens here, behind every byte
// written so far.
void PutBit(BlockWriter& w, unsigned bit)
{
    if (w.used == 32) {
        StoreLe32(&w.out[w.flagPos], w.flag);
        w.flagPos = w.out.size();
        w.out.insert(w.out.end(), 4, 0);
        w.flag = 0;
        w.used = 0;
        FlushFinished(w);
    }
    w.flag |= (uint32_t)bit << (31 - w.used);
    ++w.used;
}

void PutBits(BlockWriter& w, unsigned value, unsigned count)
{
    while (count > 0) {
        --count;
        PutBit(w, (value >> count) & 1u);
    }
}

void PutByte(BlockWriter& w, unsigned value)
{
    w.out.push_back((unsigned char)value);
}

void PutLiteral(BlockWriter& w, unsigned char c)
{
    PutBit(w, 1);
    PutByte(w, c);
}

void PutLength(BlockWriter& w, size_t length)
{
    if (length == 3) {
        PutBits(w, 1, 1);
    } else if (length == 4) {
        PutBits(w, 1, 2);
    } else if (length <= 6) {
        PutBits(w, 1, 3);
        PutBits(w, (unsigned)(length - 5), 1);
    } else if (length <= 10) {
        PutBits(w, 1, 4);
        PutBits(w, (unsigned)(length - 7), 2);
    } else if (length <= 26) {
        PutBits(w, 1, 5);
        PutBits(w, (unsigned)(length - 11), 4);
    } else {
        PutBits(w, 0, 5);
        PutByte(w, (unsigned)(length - 27));
    }
}

// length 2 with distance 1..2303, or length 3..282 with distance 1..8192.
void PutMatch(BlockWriter& w, size_t length, size_t distance)
{
    size_t v = distance - 1;
    if (length == 2) {
        if (v < 256) {
            PutBits(w, 2, 3);  // 0 1 0
            PutByte(w, (unsigned)v);
        } else {
            PutBits(w, 3, 3);  // 0 1 1
            PutByte(w, (unsigned)((v - 256) >> 3));
            PutBits(w, (unsigned)((v - 256) & 7), 3);
        }
        return;
    }
    if (v < 512) {
        PutBits(w, 1, 3);
        PutByte(w, (unsigned)(v >> 1));
        PutBits(w, (unsigned)(v & 1), 1);
    } else if (v < 1024) {
        PutBits(w, 1, 4);
        PutByte(w, (unsigned)((v - 512) >> 1));
        PutBits(w, (unsigned)(v & 1), 1);
    } else if (v < 2048) {
        PutBits(w, 1, 5);
        PutByte(w, (unsigned)((v - 1024) >> 2));
        PutBits(w, (unsigned)(v & 3), 2);
    } else if (v < 4096) {
        PutBits(w, 1, 6);
        PutByte(w, (unsigned)((v - 2048) >> 3));
        PutBits(w, (unsigned)(v & 7), 3);
    } else {
        PutBits(w, 0, 6);
        PutByte(w, (unsigned)((v - 4096) >> 4));
        PutBits(w, (unsigned)(v & 15), 4);
    }
    PutLength(w, length);
}

void FinishBlock(BlockWriter& w)
{
    PutBits(w, 3, 3);  // end code: 0 1 1, byte 255, 1 1 1
    PutByte(w, 255);
    PutBits(w, 7, 3);
    StoreLe32(&w.out[w.flagPos], w.flag);
    if (w.sink) {
        if (!w.failed && !SinkWrite(*w.sink, w.out.data(), w.out.size()))
            w.failed = 1;
        w.flushed += w.out.size();
        w.out.clear();
    }
}

// ---- bit costs ----

const unsigned LiteralBits = 9;

unsigned LengthBits(size_t length)
{
    return length == 3 ? 1 : length == 4 ? 2 : length <= 6 ? 4 : length <= 10 ? 6 : length <= 26 ? 9 : 13;
}

unsigned DistanceBits(size_t distance)  // the row of a copy of 3 or more bytes
{
    return distance <= 512 ? 12 : distance <= 1024 ? 13 : distance <= 2048 ? 15 : distance <= 4096 ? 17 : 18;
}

unsigned PairBits(size_t distance)
{
    return distance <= 256 ? 11 : 14;
}

unsigned CopyBits(size_t length, size_t distance)
{
    return length == 2 ? PairBits(distance) : DistanceBits(distance) + LengthBits(length);
}

// Bits saved against writing the same bytes as literals; the measure greedy and lazy choices compare.
int Savings(size_t length, size_t distance)
{
    return (int)(LiteralBits * length) - (int)CopyBits(length, distance);
}

// ---- match finding: hash chains over the window, and the nearest earlier occurrence of every byte pair ----

struct Match {
    size_t length;
    size_t distance;
};

// The input is either a whole buffer or a window over a stream that slides on as the encoder advances, holding
// the reach of a copy behind the position and the longest look ahead any level takes.
struct MatchFinder {
    const unsigned char* data;  // the bytes of positions base .. base + held
    size_t base;
    size_t held;
    size_t size;  // of the whole input
    std::vector<unsigned char> window;  // a stream's bytes (empty for a whole buffer)
    EncodeReader read;
    void* readContext;
    unsigned hashShift;
    std::vector<size_t> head;  // hash of 3 bytes -> latest position + 1 (0: none)
    std::vector<size_t> prev;  // position & WindowMask -> the previous position + 1 with the same hash
    std::vector<size_t> pair;  // 2 bytes -> latest position + 1
};

const size_t WindowRefill = 2u << 20;

void StartFinder(MatchFinder& f, const unsigned char* src, size_t size, EncodeReader read, void* readContext)
{
    unsigned hashBits = 10;
    while (hashBits < 16 && ((size_t)1 << hashBits) < size)
        ++hashBits;
    f.data = src;
    f.base = 0;
    f.held = src ? size : 0;
    f.size = size;
    f.read = read;
    f.readContext = readContext;
    if (!src)
        f.window.resize(std::min(size, WindowSize + WindowRefill));
    f.hashShift = 32 - hashBits;
    f.head.assign((size_t)1 << hashBits, 0);
    f.prev.assign(WindowSize, 0);
    f.pair.assign(65536, 0);
}

inline const unsigned char* At(const MatchFinder& f, size_t pos)
{
    return f.data + (pos - f.base);
}

// Makes the bytes from a copy's reach behind pos to `ahead` bytes past it (or the end) readable. 0 when the
// stream cannot be read.
int Ensure(MatchFinder& f, size_t pos, size_t ahead)
{
    size_t want = f.size - pos < ahead ? f.size : pos + ahead;
    if (f.base + f.held >= want)
        return 1;
    size_t keepFrom = pos - f.base > WindowSize ? pos - WindowSize : f.base;
    size_t kept = f.base + f.held - keepFrom;
    memmove(f.window.data(), f.window.data() + (keepFrom - f.base), kept);
    f.base = keepFrom;
    f.held = kept;
    size_t more = std::min(f.window.size() - kept, f.size - (f.base + kept));
    if (!f.read(f.readContext, f.window.data() + kept, more))
        return 0;
    f.held += more;
    f.data = f.window.data();
    return 1;
}

inline unsigned Hash3(const MatchFinder& f, size_t pos)
{
    const unsigned char* p = At(f, pos);
    uint32_t v = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
    return (v * 2654435761u) >> f.hashShift;
}

inline unsigned PairKey(const MatchFinder& f, size_t pos)
{
    const unsigned char* p = At(f, pos);
    return ((unsigned)p[0] << 8) | p[1];
}

// Makes pos findable from later positions. Positions must be inserted in increasing order.
inline void Insert(MatchFinder& f, size_t pos)
{
    if (f.size - pos >= MinMatch) {
        unsigned h = Hash3(f, pos);
        f.prev[pos & WindowMask] = f.head[h];
        f.head[h] = pos + 1;
    }
    if (f.size - pos >= 2)
        f.pair[PairKey(f, pos)] = pos + 1;
}

inline size_t CommonLength(const unsigned char* a, const unsigned char* b, size_t limit)
{
    size_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return n + (size_t)(__builtin_ctzll(x ^ y) >> 3);
#else
            break;
#endif
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

// Matches of 3 or more bytes at pos (not yet inserted), longest last, each the nearest one of its length among the
// candidates seen: lengths strictly increase and so do distances. At most `depth` candidates are examined; the
// search stops at a match of `nice` bytes.
size_t FindMatches(const MatchFinder& f, size_t pos, unsigned depth, size_t nice, Match* out)
{
    size_t limit = std::min(MaxMatch, f.size - pos);
    if (limit < MinMatch)
        return 0;
    const unsigned char* cur = At(f, pos);
    size_t candidate = f.head[Hash3(f, pos)];
    size_t best = MinMatch - 1;
    size_t count = 0;
    while (candidate != 0 && depth-- > 0) {
        size_t at = candidate - 1;
        size_t distance = pos - at;
        if (distance > WindowSize)
            break;
        const unsigned char* from = At(f, at);
        if (from[best] == cur[best] && from[0] == cur[0] && from[1] == cur[1]) {
            size_t length = CommonLength(from, cur, limit);
            if (length > best) {
                out[count++] = Match{length, distance};
                best = length;
                if (length >= nice || length == limit)
                    break;
            }
        }
        size_t next = f.prev[at & WindowMask];
        if (next >= candidate)
            break;
        candidate = next;
    }
    return count;
}

// Distance of the nearest earlier copy of the two bytes at pos, 0 when none lies within reach of a 2-byte code.
inline size_t NearestPair(const MatchFinder& f, size_t pos)
{
    if (f.size - pos < 2)
        return 0;
    size_t at = f.pair[PairKey(f, pos)];
    if (at == 0 || pos - (at - 1) > PairWindow)
        return 0;
    return pos - (at - 1);
}

// The copy at pos that saves most bits over literals (length 0 when none saves any).
Match BestCopy(const MatchFinder& f, size_t pos, unsigned depth, size_t nice, Match* scratch)
{
    Match best = {0, 0};
    int bestSavings = 0;
    size_t count = FindMatches(f, pos, depth, nice, scratch);
    for (size_t k = 0; k < count; ++k) {
        int s = Savings(scratch[k].length, scratch[k].distance);
        if (s > bestSavings) {
            bestSavings = s;
            best = scratch[k];
        }
    }
    size_t pairDistance = NearestPair(f, pos);
    if (pairDistance != 0 && Savings(2, pairDistance) > bestSavings)
        best = Match{2, pairDistance};
    return best;
}

// ---- levels ----

const unsigned FastDepth = 8;
const size_t FastNice = 32;
const unsigned DefaultDepth = 64;
const size_t DefaultNice = 258;
const unsigned BestDepth = 64;
const size_t BestNice = 160;

// The bytes a step at pos looks at are at hand and the output still goes somewhere.
int Going(const BlockWriter& w, MatchFinder& f, size_t pos, size_t ahead)
{
    return !w.failed && Ensure(f, pos, ahead);
}

const size_t StepAhead = MaxMatch + 4;  // a copy at pos + 1, and the hash of its last byte

int EncodeGreedy(BlockWriter& w, MatchFinder& f)
{
    Match scratch[MaxMatch + 1];
    size_t pos = 0;
    while (pos < f.size) {
        if (!Going(w, f, pos, StepAhead))
            return 0;
        PublishEncodeProgress(pos);
        Match m = BestCopy(f, pos, FastDepth, FastNice, scratch);
        if (m.length == 0) {
            Insert(f, pos);
            PutLiteral(w, *At(f, pos));
            ++pos;
            continue;
        }
        PutMatch(w, m.length, m.distance);
        for (size_t end = pos + m.length; pos < end; ++pos)
            Insert(f, pos);
    }
    return 1;
}

int EncodeLazy(BlockWriter& w, MatchFinder& f)
{
    Match scratch[MaxMatch + 1];
    size_t pos = 0;
    Match m = {0, 0};
    int searched = 0;  // m already holds the search at pos
    while (pos < f.size) {
        if (!Going(w, f, pos, StepAhead))
            return 0;
        PublishEncodeProgress(pos);
        if (!searched) {
            m = BestCopy(f, pos, DefaultDepth, DefaultNice, scratch);
            Insert(f, pos);
        }
        searched = 0;
        if (m.length == 0) {
            PutLiteral(w, *At(f, pos));
            ++pos;
            continue;
        }
        if (m.length < DefaultNice && pos + 1 < f.size) {
            // One byte later may start a copy that pays for the literal it needs: take it when it spends fewer
            // bits per byte covered, the literal included.
            Match next = BestCopy(f, pos + 1, DefaultDepth, DefaultNice, scratch);
            Insert(f, pos + 1);
            if (next.length != 0 && (LiteralBits + CopyBits(next.length, next.distance)) * m.length <
                                         CopyBits(m.length, m.distance) * (1 + next.length)) {
                PutLiteral(w, *At(f, pos));
                ++pos;
                m = next;
                searched = 1;
                continue;
            }
            PutMatch(w, m.length, m.distance);
            for (size_t k = 2; k < m.length; ++k)
                Insert(f, pos + k);
            pos += m.length;
            continue;
        }
        PutMatch(w, m.length, m.distance);
        for (size_t k = 1; k < m.length; ++k)
            Insert(f, pos + k);
        pos += m.length;
    }
    return 1;
}

// Shortest path over a stretch of positions, where a step is a literal or a copy and its weight is its exact
// number of bits. Steps start inside the stretch but may end up to one copy length past it; the stretch then ends
// where its path does best, weighing the bytes it leaves behind at the stretch's own rate, so a long copy across
// the cut is not broken up.
const size_t ParseStretch = 1 << 16;

struct ParseStep {
    uint32_t cost;       // bits from the stretch's start to this position
    uint16_t length;     // step that reaches it: 1 for a literal
    uint16_t distance;
};

int EncodeOptimal(BlockWriter& w, MatchFinder& f)
{
    Match found[MaxMatch + 1];
    std::vector<ParseStep> steps(std::min(f.size, ParseStretch + MaxMatch) + 1);
    std::vector<Match> path;
    size_t start = 0;
    while (start < f.size) {
        if (!Going(w, f, start, ParseStretch + StepAhead))
            return 0;
        PublishEncodeProgress(start);
        size_t end = std::min(f.size, start + ParseStretch);  // steps start before end
        size_t reach = std::min(f.size, end + MaxMatch);       // and end no later than reach
        size_t span = reach - start;
        for (size_t k = 0; k <= span; ++k)
            steps[k] = ParseStep{UINT32_MAX, 0, 0};
        steps[0].cost = 0;
        size_t skipUntil = start;  // positions inside a long copy are inserted but not searched from
        for (size_t pos = start; pos < end; ++pos) {
            size_t i = pos - start;
            if (pos < skipUntil) {
                Insert(f, pos);
                continue;
            }
            uint32_t base = steps[i].cost;
            if (steps[i + 1].cost > base + LiteralBits)
                steps[i + 1] = ParseStep{base + LiteralBits, 1, 0};

            size_t count = FindMatches(f, pos, BestDepth, BestNice, found);
            size_t pairDistance = NearestPair(f, pos);
            Insert(f, pos);

            if (pairDistance != 0) {
                uint32_t c = base + PairBits(pairDistance);
                if (steps[i + 2].cost > c)
                    steps[i + 2] = ParseStep{c, 2, (uint16_t)pairDistance};
            }
            size_t shorter = MinMatch - 1;
            for (size_t k = 0; k < count; ++k) {
                size_t longest = found[k].length;  // within reach: a match never runs past the input
                uint32_t rowCost = base + DistanceBits(found[k].distance);
                for (size_t length = shorter + 1; length <= longest; ++length) {
                    uint32_t c = rowCost + LengthBits(length);
                    if (steps[i + length].cost > c)
                        steps[i + length] = ParseStep{c, (uint16_t)length, (uint16_t)found[k].distance};
                }
                shorter = std::max(shorter, longest);
            }
            if (count > 0 && found[count - 1].length >= BestNice)
                skipUntil = pos + found[count - 1].length;
        }

        // Where to stop: the reached position past the cut whose cost, plus the bytes up to `reach` at the
        // cheapest rate seen, is lowest.
        double rate = 1e30;
        for (size_t q = end; q <= reach; ++q)
            if (steps[q - start].cost != UINT32_MAX)
                rate = std::min(rate, (double)steps[q - start].cost / (double)(q - start));
        size_t stop = end;
        double bestEstimate = 1e300;
        for (size_t q = end; q <= reach; ++q) {
            if (steps[q - start].cost == UINT32_MAX)
                continue;
            double estimate = steps[q - start].cost + rate * (double)(reach - q);
            if (estimate < bestEstimate) {
                bestEstimate = estimate;
                stop = q;
            }
        }

        path.clear();
        for (size_t i = stop - start; i > 0;) {
            const ParseStep& s = steps[i];
            path.push_back(Match{s.length, s.distance});
            i -= s.length;
        }
        size_t pos = start;
        for (size_t k = path.size(); k-- > 0;) {
            if (path[k].length == 1)
                PutLiteral(w, *At(f, pos));
            else
                PutMatch(w, path[k].length, path[k].distance);
            pos += path[k].length;
        }
        for (size_t p = end; p < stop; ++p)  // passed over, not yet findable
            Insert(f, p);
        start = stop;
    }
    return 1;
}

}  // namespace

unsigned LiteralCodeBits()
{
    return LiteralBits;
}

unsigned MatchCodeBits(size_t length, size_t distance)
{
    if (distance == 0 || length < 2 || length > MaxMatch)
        return 0;
    if (length == 2)
        return distance <= PairWindow ? PairBits(distance) : 0;
    return distance <= WindowSize ? CopyBits(length, distance) : 0;
}

std::atomic<size_t> EncodeBlockProgress;
thread_local std::atomic<size_t>* EncodeProgressTarget = &EncodeBlockProgress;

namespace {

// The whole block into `w`: 0 when the input could not be read or the sink refused a write.
int EncodeInto(BlockWriter& w, MatchFinder& f, EncodeLevel level)
{
    PublishEncodeProgress(0);
    int ok = 1;
    if (f.size > 0) {
        if (level == EncodeFast)
            ok = EncodeGreedy(w, f);
        else if (level == EncodeDefault)
            ok = EncodeLazy(w, f);
        else
            ok = EncodeOptimal(w, f);
    }
    if (ok)
        FinishBlock(w);
    return ok && !w.failed;
}

}  // namespace

std::vector<unsigned char> EncodeBlock(const unsigned char* src, size_t size, EncodeLevel level)
{
    BlockWriter w;
    StartBlock(w, size + size / 8 + 16, nullptr);
    MatchFinder f;
    StartFinder(f, src, size, nullptr, nullptr);
    EncodeInto(w, f, level);
    return std::move(w.out);
}

int EncodeBlockStream(size_t size, EncodeLevel level, EncodeReader read, void* readContext, const ByteSink& out,
                      uint64_t* written)
{
    BlockWriter w;
    StartBlock(w, 0, &out);
    MatchFinder f;
    StartFinder(f, nullptr, size, read, readContext);
    int ok = EncodeInto(w, f, level);
    *written = w.flushed;
    return ok;
}
