// The block decoder against hand-made blocks and damaged ones, and the encoder's levels through the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/block_decoder.h"
#include "block_encoder.h"
#include "hand_block.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes FromHex(std::initializer_list<int> values)
{
    Bytes b;
    for (int v : values)
        b.push_back((unsigned char)v);
    return b;
}

Bytes FromText(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Decodes into a buffer with guard bytes on both sides; fails the test if a guard changed.
int DecodeGuarded(const Bytes& block, size_t dstSize, Bytes* out)
{
    const size_t guard = 64;
    Bytes buffer(dstSize + 2 * guard, 0xA5);
    Bytes src(block);  // exactly sized, so a read past it shows under the sanitizers
    int ok = DecompressBlock(buffer.data() + guard, dstSize, src.empty() ? nullptr : src.data(), src.size());
    for (size_t k = 0; k < guard; ++k) {
        EXPECT_EQ(buffer[k], 0xA5) << "written before dst at " << k;
        EXPECT_EQ(buffer[guard + dstSize + k], 0xA5) << "written past dst at " << k;
    }
    out->assign(buffer.begin() + guard, buffer.begin() + guard + dstSize);
    return ok;
}

Bytes Decode(const Bytes& block, size_t dstSize, int* ok)
{
    Bytes out;
    *ok = DecodeGuarded(block, dstSize, &out);
    return out;
}

// ---- the documented examples, written byte for byte ----

TEST(BlockDecoder, DocumentedBlocks)
{
    Bytes onBit32(28, 'q');
    onBit32.push_back('q');
    onBit32.push_back('q');
    onBit32.push_back('z');
    struct Case {
        const char* name;
        Bytes block;
        Bytes expected;
    } cases[] = {
        {"end code alone", FromHex({0x00, 0x00, 0x00, 0x7C, 0xFF}), Bytes()},
        {"abcabcabc", FromHex({0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF}), FromText("abcabcabc")},
        // 28 literals, a 2-byte copy from distance 1, a literal on the word's 32nd bit: its byte comes before the
        // next flag word, which holds the end code.
        {"literal on the 32nd bit",
         [] {
             Bytes b = FromHex({0xF5, 0xFF, 0xFF, 0xFF});
             b.insert(b.end(), 28, 'q');
             Bytes tail = FromHex({0x00, 'z', 0x00, 0x00, 0x00, 0x7C, 0xFF});
             b.insert(b.end(), tail.begin(), tail.end());
             return b;
         }(),
         onBit32},
    };
    for (const Case& c : cases) {
        int ok = 0;
        Bytes out = Decode(c.block, c.expected.size(), &ok);
        EXPECT_EQ(ok, 1) << c.name;
        EXPECT_EQ(out, c.expected) << c.name;
    }
}

// The hand-written blocks above come out of the test's own block writer as well, so the cases below, written with
// it, place their flag words where the decoder reads them.
TEST(BlockDecoder, HandWriterMatchesDocumentedLayout)
{
    HandBlock endOnly;
    End(endOnly);
    EXPECT_EQ(endOnly.block, FromHex({0x00, 0x00, 0x00, 0x7C, 0xFF}));

    HandBlock abc;
    Lit(abc, 'a'), Lit(abc, 'b'), Lit(abc, 'c');
    Copy(abc, 6, 3);
    End(abc);
    EXPECT_EQ(abc.block, FromHex({0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF}));
    EXPECT_EQ(abc.expected, FromText("abcabcabc"));
}

TEST(BlockDecoder, EdgeCodes)
{
    struct Case {
        const char* name;
        void (*write)(HandBlock&);
    } cases[] = {
        {"distance 1, length 10: eleven equal bytes", [](HandBlock& h) { Lit(h, 'x'), Copy(h, 10, 1); }},
        {"0 1 0 with byte 0 repeats the last byte twice", [](HandBlock& h) { Lit(h, 'x'), Pair(h, 1); }},
        {"distance 2 run", [](HandBlock& h) { Lit(h, 'a'), Lit(h, 'b'), Copy(h, 41, 2); }},
        {"distance 3 run", [](HandBlock& h) { Lit(h, 'a'), Lit(h, 'b'), Lit(h, 'c'), Copy(h, 100, 3); }},
        {"distance 3, odd lengths", [](HandBlock& h) {
             Lit(h, 'a'), Lit(h, 'b'), Lit(h, 'c'), Copy(h, 16, 3), Copy(h, 17, 3), Copy(h, 4, 3); }},
        {"distances 4..17 overlapping", [](HandBlock& h) {
             for (int k = 0; k < 17; ++k) Lit(h, (unsigned char)('A' + k));
             for (size_t d = 4; d <= 17; ++d) Copy(h, 40 + d, d); }},
        {"length 26 and 27", [](HandBlock& h) {
             for (int k = 0; k < 30; ++k) Lit(h, (unsigned char)('a' + k % 26));
             Copy(h, 26, 30), Copy(h, 27, 30); }},
        {"length 282", [](HandBlock& h) { Lit(h, 'a'), Lit(h, 'b'), Copy(h, 282, 2); }},
        {"2-byte copy from distance 2303", [](HandBlock& h) {
             for (int k = 0; k < 2303; ++k) Lit(h, (unsigned char)(k * 7 + k / 256));
             Pair(h, 2303); }},
        {"copy from distance 8192", [](HandBlock& h) {
             for (int k = 0; k < 8192; ++k) Lit(h, (unsigned char)(k * 13 + k / 256));
             Copy(h, 3, 8192); }},
        {"every row's first and last distance", [](HandBlock& h) {
             for (int k = 0; k < 8192; ++k) Lit(h, (unsigned char)(k * 31 + k / 251));
             const size_t d[] = {1, 256, 257, 2303};
             for (size_t x : d) Pair(h, x);
             const size_t l[] = {1, 512, 513, 1024, 1025, 2048, 2049, 4096, 4097, 8192};
             for (size_t x : l) Copy(h, 5, x); }},
    };
    for (const Case& c : cases) {
        HandBlock h;
        c.write(h);
        End(h);
        int ok = 0;
        Bytes out = Decode(h.block, h.expected.size(), &ok);
        EXPECT_EQ(ok, 1) << c.name;
        EXPECT_EQ(out, h.expected) << c.name;
    }
    // Distance 8192 and 2303 reach exactly the first byte.
    HandBlock far;
    for (int k = 0; k < 8192; ++k)
        Lit(far, (unsigned char)(k == 0 ? 'F' : 'x'));
    Copy(far, 3, 8192);
    End(far);
    int ok = 0;
    Bytes out = Decode(far.block, far.expected.size(), &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(out[8192], 'F');
}

// Every code kind placed at every bit position of a flag word: codes that straddle two flag words, with the new
// word before the code's byte or behind it. Both near the start of the output and the end of dst, where every step
// is bounds-checked, and deep inside a large block with plenty of room on both sides.
TEST(BlockDecoder, CodesAcrossFlagWords)
{
    struct Code {
        size_t length;
        size_t distance;
    } codes[] = {{2, 1}, {2, 300}, {3, 5}, {4, 600}, {6, 1500}, {10, 3000}, {26, 5000}, {27, 8000}, {282, 20}};
    struct Placement {
        const char* name;
        size_t history;  // literals before the phase literals
        size_t tail;     // literals behind the code
    } placements[] = {{"near the start", 0, 1}, {"inside a large block", 8200, 600}};
    for (const Placement& at : placements) {
        for (const Code& code : codes) {
            for (unsigned before = 0; before < 40; ++before) {
                HandBlock h;
                size_t history = std::max(at.history, code.distance);
                for (size_t k = 0; k < history; ++k)
                    Lit(h, (unsigned char)(k * 37 + k / 97));
                for (unsigned k = 0; k < before; ++k)
                    Lit(h, (unsigned char)k);
                if (code.length == 2)
                    Pair(h, code.distance);
                else
                    Copy(h, code.length, code.distance);
                for (size_t k = 0; k < at.tail; ++k)
                    Lit(h, (unsigned char)(k ^ 0x5A));
                End(h);
                int ok = 0;
                Bytes out = Decode(h.block, h.expected.size(), &ok);
                EXPECT_EQ(ok, 1) << at.name << ": " << code.length << "/" << code.distance << " after " << before;
                EXPECT_EQ(out, h.expected) << at.name << ": " << code.length << "/" << code.distance << " after "
                                           << before;
            }
        }
    }
}

// Long random streams of every code kind, checked against the byte-by-byte expectation.
TEST(BlockDecoder, RandomCodeStreams)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        HandBlock h;
        for (int k = 0; k < 3000; ++k) {
            unsigned kind = rng() % 4;
            size_t have = h.expected.size();
            if (kind == 0 || have == 0) {
                unsigned run = 1 + rng() % 40;
                for (unsigned r = 0; r < run; ++r)
                    Lit(h, (unsigned char)rng());
            } else if (kind == 1) {
                Pair(h, 1 + rng() % std::min<size_t>(have, 2303));
            } else {
                size_t length = 3 + (rng() % 3 == 0 ? rng() % 280 : rng() % 12);
                size_t distance = 1 + (rng() % 2 ? rng() % std::min<size_t>(have, 16) : rng() % std::min<size_t>(have, 8192));
                Copy(h, length, distance);
            }
        }
        End(h);
        int ok = 0;
        Bytes out = Decode(h.block, h.expected.size(), &ok);
        ASSERT_EQ(ok, 1) << "seed " << seed;
        ASSERT_EQ(out, h.expected) << "seed " << seed;
    }
}

// ---- malformed blocks ----

TEST(BlockDecoder, RefusesMalformedBlocks)
{
    HandBlock beforeStart;  // a copy that reaches before the first output byte
    Lit(beforeStart, 'a'), Lit(beforeStart, 'b');
    Copy(beforeStart, 3, 3);
    End(beforeStart);

    HandBlock pairBeforeStart;
    Lit(pairBeforeStart, 'a');
    Pair(pairBeforeStart, 2);
    End(pairBeforeStart);

    HandBlock farBeforeStart;
    for (int k = 0; k < 8191; ++k)
        Lit(farBeforeStart, 'x');
    Copy(farBeforeStart, 3, 8192);
    End(farBeforeStart);

    HandBlock copyPastEnd;  // well-formed, 4 bytes: too long for 3
    Lit(copyPastEnd, 'a');
    Copy(copyPastEnd, 3, 1);
    End(copyPastEnd);

    HandBlock literalsPastEnd;
    for (int k = 0; k < 40; ++k)
        Lit(literalsPastEnd, 'l');
    End(literalsPastEnd);

    HandBlock noEnd;  // ends with its last data byte, no end code
    for (int k = 0; k < 31; ++k)
        Lit(noEnd, 'n');
    Copy(noEnd, 30, 31);

    const Bytes abc = FromHex({0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF});
    struct Case {
        const char* name;
        Bytes block;
        size_t dstSize;
    } cases[] = {
        {"no bytes", Bytes(), 0},
        {"shorter than a flag word", FromHex({0x00, 0x00, 0x7C}), 0},
        {"copy before the start", beforeStart.block, 5},
        {"2-byte copy before the start", pairBeforeStart.block, 3},
        {"distance 8192 with 8191 bytes written", farBeforeStart.block, 8194},
        {"copy past dst", copyPastEnd.block, 3},
        {"literals past dst", literalsPastEnd.block, 39},
        {"literals past an empty dst", literalsPastEnd.block, 0},
        {"ends short of dst", abc, 100},
        {"ends short of dst by one", abc, 10},
        {"dst too small by one", abc, 8},
        {"block without end code", noEnd.block, 61},
        {"next flag word cut short", [&] { Bytes b(noEnd.block); b.insert(b.end(), {0x00, 0x00}); return b; }(), 61},
    };
    for (const Case& c : cases) {
        int ok = 1;
        Decode(c.block, c.dstSize, &ok);
        EXPECT_EQ(ok, 0) << c.name;
    }
    // The same blocks with the right sizes decode: the refusals above are about the fault, not the block.
    int ok = 0;
    Decode(copyPastEnd.block, 4, &ok);
    EXPECT_EQ(ok, 1);
    Decode(literalsPastEnd.block, 40, &ok);
    EXPECT_EQ(ok, 1);
}

// Every cut of a valid block is refused: the decoder never reads past srcSize for the missing bytes.
TEST(BlockDecoder, RefusesEveryTruncation)
{
    HandBlock h;
    for (int k = 0; k < 50; ++k)
        Lit(h, (unsigned char)(k * 3));
    Copy(h, 40, 50), Pair(h, 2), Copy(h, 282, 7), Copy(h, 12, 1), Lit(h, 'x'), Copy(h, 27, 90);
    End(h);
    for (size_t cut = 0; cut < h.block.size(); ++cut) {
        Bytes part(h.block.begin(), h.block.begin() + cut);
        int ok = 1;
        Decode(part, h.expected.size(), &ok);
        EXPECT_EQ(ok, 0) << "cut at " << cut;
    }
    int ok = 0;
    Bytes out = Decode(h.block, h.expected.size(), &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(out, h.expected);
}

// The same faults inside large blocks, where the decoder runs its steps without per-step bounds tests.
TEST(BlockDecoder, RefusesDamageInsideLargeBlocks)
{
    HandBlock h = RandomCodes(77, 4000);
    int ok = 0;
    Bytes out = Decode(h.block, h.expected.size(), &ok);
    ASSERT_EQ(ok, 1);
    ASSERT_EQ(out, h.expected);

    for (size_t cut = 9000; cut < h.block.size(); cut += 331) {
        Decode(Bytes(h.block.begin(), h.block.begin() + cut), h.expected.size(), &ok);
        EXPECT_EQ(ok, 0) << "cut at " << cut;
    }
    for (size_t shortBy : {1, 2, 281, 282, 283, 5000, 100000}) {
        Decode(h.block, h.expected.size() - shortBy, &ok);
        EXPECT_EQ(ok, 0) << "dst short by " << shortBy;
    }

    HandBlock early = ReachBeforeTheStart();
    Decode(early.block, early.expected.size(), &ok);
    EXPECT_EQ(ok, 0);
}

TEST(BlockDecoder, IgnoresBytesAfterEndCode)
{
    Bytes block = FromHex({0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF, 0x12, 0x34});
    int ok = 0;
    Bytes out = Decode(block, 9, &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(out, FromText("abcabcabc"));
}

// ---- encoder through decoder ----

Bytes Text(size_t size, unsigned seed)
{
    static const char* words[] = {"the ", "update ", "writes ", "files ", "into ", "folder ", "game ", "data ",
                                  "archive ", "entry ", "of ", "and ", "\r\n", "version ", "1.02 ", "setup "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < size) {
        const char* w = words[rng() % 16];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(size);
    return b;
}

Bytes Random(size_t size, unsigned seed) { return RandomBytes(size, seed); }

// Records of a game-like table: small counters, ids and repeated padding.
Bytes Table(size_t size)
{
    Bytes b;
    for (uint32_t k = 0; b.size() < size; ++k) {
        uint32_t fields[6] = {k, 1000 + k * 3, k % 7, 0, 0xFFFFFFFFu, (k * 2654435761u) >> 20};
        const unsigned char* p = reinterpret_cast<const unsigned char*>(fields);
        b.insert(b.end(), p, p + sizeof fields);
    }
    b.resize(size);
    return b;
}

struct Sample {
    const char* name;
    Bytes data;
};

std::vector<Sample> Samples()
{
    std::vector<Sample> s;
    s.push_back({"empty", Bytes()});
    s.push_back({"one byte", Bytes(1, 0x41)});
    s.push_back({"two bytes", FromText("xy")});
    s.push_back({"three equal", FromText("aaa")});
    s.push_back({"zeros 100000", Bytes(100000, 0)});
    s.push_back({"ab run", [] { Bytes b; for (int k = 0; k < 5000; ++k) b.push_back(k % 2 ? 'b' : 'a'); return b; }()});
    s.push_back({"abc run", [] { Bytes b; for (int k = 0; k < 5001; ++k) b.push_back((unsigned char)('a' + k % 3)); return b; }()});
    s.push_back({"text", Text(200000, 1)});
    s.push_back({"table", Table(150000)});
    s.push_back({"incompressible", Random(70000, 2)});
    // A random window repeated: matches sit exactly at distance 8192 and 8193 lies out of reach.
    s.push_back({"period 8192", [] { Bytes r = Random(8192, 3), b; for (int k = 0; k < 4; ++k) b.insert(b.end(), r.begin(), r.end()); return b; }()});
    s.push_back({"period 8193", [] { Bytes r = Random(8193, 4), b; for (int k = 0; k < 3; ++k) b.insert(b.end(), r.begin(), r.end()); return b; }()});
    s.push_back({"period 2303 pairs", [] { Bytes r = Random(2303, 5), b; for (int k = 0; k < 3; ++k) b.insert(b.end(), r.begin(), r.end()); return b; }()});
    s.push_back({"long matches", [] { Bytes t = Text(1000, 6), b; for (int k = 0; k < 40; ++k) { b.insert(b.end(), t.begin(), t.end()); b.push_back((unsigned char)k); } return b; }()});
    s.push_back({"mixed", [] { Bytes b = Text(30000, 7), r = Random(20000, 8), z(30000, 0), t = Table(30000);
                     b.insert(b.end(), r.begin(), r.end()); b.insert(b.end(), z.begin(), z.end());
                     b.insert(b.end(), t.begin(), t.end()); b.insert(b.end(), r.begin(), r.begin() + 5000); return b; }()});
    return s;
}

TEST(BlockEncoder, RoundTripsEveryLevel)
{
    const EncodeLevel levels[] = {EncodeFast, EncodeDefault, EncodeBest};
    for (const Sample& s : Samples()) {
        for (EncodeLevel level : levels) {
            Bytes block = EncodeBlock(s.data.data(), s.data.size(), level);
            int ok = 0;
            Bytes out = Decode(block, s.data.size(), &ok);
            EXPECT_EQ(ok, 1) << s.name << " level " << level;
            EXPECT_TRUE(out == s.data) << s.name << " level " << level;
            // Every byte of the block is needed: a block one byte shorter must fail.
            if (!block.empty()) {
                Bytes cut(block.begin(), block.end() - 1);
                Decode(cut, s.data.size(), &ok);
                EXPECT_EQ(ok, 0) << s.name << " level " << level << " cut by one";
            }
        }
    }
}

TEST(BlockEncoder, WritesTheDocumentedBlocks)
{
    const EncodeLevel levels[] = {EncodeFast, EncodeDefault, EncodeBest};
    const Bytes abc = FromText("abcabcabc");
    for (EncodeLevel level : levels) {
        EXPECT_EQ(EncodeBlock(nullptr, 0, level), FromHex({0x00, 0x00, 0x00, 0x7C, 0xFF})) << level;
        EXPECT_EQ(EncodeBlock(abc.data(), abc.size(), level),
                  FromHex({0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF}))
            << level;
    }
}

TEST(BlockEncoder, LevelsCompress)
{
    Bytes zeros(100000, 0);
    // 100000 bytes in copies of 282: about 355 codes of 25 bits.
    EXPECT_LT(EncodeBlock(zeros.data(), zeros.size(), EncodeFast).size(), 1200u);

    Bytes random = Random(50000, 9);
    Bytes stored = EncodeBlock(random.data(), random.size(), EncodeBest);
    EXPECT_LE(stored.size(), random.size() * 9 / 8 + 16);  // never worse than all literals

    Bytes text = Text(200000, 10);
    size_t fast = EncodeBlock(text.data(), text.size(), EncodeFast).size();
    size_t lazy = EncodeBlock(text.data(), text.size(), EncodeDefault).size();
    size_t best = EncodeBlock(text.data(), text.size(), EncodeBest).size();
    EXPECT_LT(fast, text.size() / 2);
    EXPECT_LT(lazy, fast);
    EXPECT_LT(best, lazy);

    // Long copies across the optimal parse's internal stretches (64 KiB) are kept whole.
    Bytes unit = Random(150, 11), periodic;
    while (periodic.size() < (600u << 10))
        periodic.insert(periodic.end(), unit.begin(), unit.end());
    for (const Bytes* data : {&zeros, &periodic}) {
        Bytes big = *data;
        big.resize(600u << 10, 0);
        size_t greedy = EncodeBlock(big.data(), big.size(), EncodeFast).size();
        size_t optimal = EncodeBlock(big.data(), big.size(), EncodeBest).size();
        EXPECT_LE(optimal, greedy) << big.size();
    }
}

// The cost table the optimal parse weighs its choices with: flag bits plus 8 per data byte of each code.
TEST(BlockEncoder, CodeBitsFollowTheFormat)
{
    EXPECT_EQ(LiteralCodeBits(), 9u);
    struct Case {
        size_t length, distance;
        unsigned bits;
    } cases[] = {
        {2, 1, 11}, {2, 256, 11}, {2, 257, 14}, {2, 2303, 14}, {2, 2304, 0}, {3, 512, 13}, {4, 513, 15},
        {6, 1024, 17}, {10, 1025, 21}, {26, 2048, 24}, {27, 2049, 30}, {282, 4097, 31}, {282, 8192, 31},
        {3, 8193, 0}, {283, 1, 0}, {1, 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchCodeBits(c.length, c.distance), c.bits) << c.length << "/" << c.distance;
}

// The input as the streaming encoder reads it: counted, and refusing from a given byte on.
struct CountedInput {
    const Bytes* data;
    size_t at;
    size_t failAt;  // the read that would pass this offset fails
    int calls;
};

int ReadCounted(void* context, unsigned char* bytes, size_t count)
{
    CountedInput* in = (CountedInput*)context;
    ++in->calls;
    EXPECT_LE(count, in->data->size() - in->at) << "read past the input's end";
    if (in->at + count > in->failAt || count > in->data->size() - in->at)
        return 0;
    memcpy(bytes, in->data->data() + in->at, count);
    in->at += count;
    return 1;
}

// A sink that takes `room` bytes and then refuses.
struct SmallSink {
    Bytes bytes;
    size_t room;
};

int WriteSmall(void* context, const unsigned char* bytes, size_t count)
{
    SmallSink* sink = (SmallSink*)context;
    if (count > sink->room - sink->bytes.size())
        return 0;
    sink->bytes.insert(sink->bytes.end(), bytes, bytes + count);
    return 1;
}

// Several times the streaming window, with copies reaching back across each place where it slides.
Bytes SlidingInput()
{
    Bytes b, unit = Random(8192, 21), text = Text(700000, 22);
    while (b.size() < (5u << 20)) {
        b.insert(b.end(), text.begin(), text.end());
        for (int k = 0; k < 30; ++k)
            b.insert(b.end(), unit.begin(), unit.end());
        Bytes noise = Random(300000, (unsigned)b.size());
        b.insert(b.end(), noise.begin(), noise.end());
    }
    return b;
}

TEST(BlockEncoder, StreamingWritesTheSameBlockAsTheWholeBuffer)
{
    const EncodeLevel levels[] = {EncodeFast, EncodeDefault, EncodeBest};
    Bytes big = SlidingInput();
    for (const Bytes& data : {Bytes(), FromText("abcabcabc"), Random(70000, 23), big}) {
        for (EncodeLevel level : levels) {
            CountedInput in = {&data, 0, SIZE_MAX, 0};
            Bytes streamed;
            uint64_t written = 0;
            ASSERT_EQ(EncodeBlockStream(data.size(), level, ReadCounted, &in, VectorSink(&streamed), &written), 1);
            EXPECT_EQ(in.at, data.size()) << "every byte read once";
            EXPECT_EQ(written, streamed.size());
            EXPECT_TRUE(streamed == EncodeBlock(data.data(), data.size(), level))
                << data.size() << " bytes, level " << level;
            if (data.size() == big.size()) {
                EXPECT_GT(in.calls, 2) << "the window slid";
            }
        }
    }
}

TEST(BlockEncoder, StreamingStopsWhenItsInputOrOutputFails)
{
    Bytes data = SlidingInput();
    for (EncodeLevel level : {EncodeFast, EncodeBest}) {
        CountedInput in = {&data, 0, 3u << 20, 0};
        Bytes out;
        uint64_t written = 0;
        EXPECT_EQ(EncodeBlockStream(data.size(), level, ReadCounted, &in, VectorSink(&out), &written), 0) << level;
        EXPECT_LT(in.at, 3u << 20);

        // The output refused after 1 MiB: the encoder stops without reading the rest.
        CountedInput all = {&data, 0, SIZE_MAX, 0};
        SmallSink sink = {Bytes(), 1u << 20};
        ByteSink refusing = {WriteSmall, nullptr, &sink};
        EXPECT_EQ(EncodeBlockStream(data.size(), level, ReadCounted, &all, refusing, &written), 0) << level;
        EXPECT_LT(all.at, data.size()) << level;
    }
}

}  // namespace
