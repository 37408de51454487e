// Entries decoded in pieces against the whole-buffer decoding, with piece boundaries put where they hurt, and
// damaged data refused without a read or write outside the given buffers (the sanitizers watch exact-size ones).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/block_decoder.h"
#include "archive/entry_stream.h"
#include "block_encoder.h"
#include "hand_block.h"
#include "lzma_encoder.h"

namespace {

struct StoredEntry {
    ArchiveEntry record;
    Bytes stored;
};

enum Kind { Plain, Scrambled, Block, BlockScrambled };
const Kind Kinds[] = {Plain, Scrambled, Block, BlockScrambled};
const char* KindName(Kind k)
{
    return k == Plain ? "plain" : k == Scrambled ? "scrambled" : k == Block ? "block" : "block+scrambled";
}

StoredEntry MakeEntry(const Bytes& file, Kind kind, const Bytes* block = nullptr)
{
    StoredEntry e;
    memset(&e.record, 0, sizeof e.record);
    bool compressed = kind == Block || kind == BlockScrambled;
    e.record.storage = compressed ? EntryStorageCompressed : EntryStorageStored;
    e.record.scramble = (kind == Scrambled || kind == BlockScrambled) ? EntryScrambled : 0;
    e.stored = !compressed ? file : block ? *block : EncodeBlock(file.data(), file.size(), EncodeFast);
    if (e.record.scramble)
        DescrambleEntry(e.stored.data(), (uint32_t)e.stored.size());
    e.record.unpackedSize = (uint32_t)file.size();
    e.record.storedSize = (uint32_t)e.stored.size();
    return e;
}

// What the output saw: the bytes, the size of each piece, and a chosen call at which it says stop.
struct Collected {
    Bytes bytes;
    std::vector<size_t> pieces;
    size_t stopAtCall = (size_t)-1;
};

int Collect(void* context, const unsigned char* bytes, size_t count)
{
    Collected* c = (Collected*)context;
    c->pieces.push_back(count);
    if (c->pieces.size() == c->stopAtCall)
        return 0;
    c->bytes.insert(c->bytes.end(), bytes, bytes + count);
    return 1;
}

// Streams with a workspace of exactly the size asked for (or `shortBy` less), over an exact copy of the stored
// bytes, so that any access outside either shows under the sanitizers.
EntryStreamResult Stream(const StoredEntry& e, const EntryPieces& pieces, Collected* out, size_t shortBy = 0)
{
    size_t size = 0;
    EXPECT_EQ(EntryWorkspaceSizeInPieces(&e.record, e.stored.data(), &pieces, &size), 1);
    std::vector<unsigned char> workspace(size - shortBy);
    Bytes stored(e.stored);
    return StreamEntryInPieces(&e.record, stored.empty() ? nullptr : stored.data(), &pieces,
                               workspace.empty() ? nullptr : workspace.data(), workspace.size(), Collect, out);
}

// The stored bytes as a tool reads them from a file: fetched on demand, and failing from `failAt` on.
struct Fetched {
    const Bytes* stored;
    uint64_t failAt;
    uint64_t furthest;  // the end of the furthest range asked for
};

int Fetch(void* context, uint32_t offset, unsigned char* bytes, size_t count)
{
    Fetched* f = (Fetched*)context;
    EXPECT_LE(offset + (uint64_t)count, f->stored->size()) << "fetched past the stored bytes";
    if (offset + (uint64_t)count > f->failAt || offset + (uint64_t)count > f->stored->size())
        return 0;
    memcpy(bytes, f->stored->data() + offset, count);
    f->furthest = std::max(f->furthest, offset + (uint64_t)count);
    return 1;
}

EntryStreamResult StreamFetched(const StoredEntry& e, const EntryPieces& pieces, Collected* out,
                                uint64_t failAt = UINT64_MAX)
{
    Fetched fetched = {&e.stored, failAt, 0};
    unsigned char head[8] = {0};
    if (!e.stored.empty())
        memcpy(head, e.stored.data(), std::min(e.stored.size(), sizeof head));
    StoredSource source = {Fetch, &fetched, head};
    size_t size = 0;
    EXPECT_EQ(SourceWorkspaceSize(&e.record, &source, &pieces, &size), 1);
    std::vector<unsigned char> workspace(size);
    return StreamEntryFromSource(&e.record, &source, &pieces, workspace.empty() ? nullptr : workspace.data(),
                                 workspace.size(), Collect, out);
}

// The whole-buffer decoding of the same record, as LoadEntry does it; `ok` 0 when it refuses.
Bytes WholeDecode(const StoredEntry& e, int* ok)
{
    Bytes copy(EntryNeedsCopy(&e.record) ? e.record.storedSize + 1 : 1);
    Bytes decoded(EntryNeedsDecoding(&e.record) ? e.record.unpackedSize + 1 : 1);
    Bytes stored(e.stored);
    stored.push_back(0);  // never null, as the image never is
    const unsigned char* data = DecodeEntryData(&e.record, stored.data(), copy.data(), decoded.data());
    *ok = data != nullptr;
    return data ? Bytes(data, data + e.record.unpackedSize) : Bytes();
}

Bytes Random(size_t size, unsigned seed) { return RandomBytes(size, seed); }

Bytes Text(size_t size, unsigned seed)
{
    static const char* words[] = {"entry ", "piece ", "window ", "slide ", "\r\n", "1.02 ", "data ", "game "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < size) {
        const char* w = words[rng() % 8];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(size);
    return b;
}

const EntryPieces Tiny = {BlockStepMaxOutput, 64};  // a slide after nearly every step, input in 64-byte pieces
const EntryPieces Odd = {1000, 68};
const EntryPieces Window = {BlockHistorySize, 4096};

size_t LargestPiece(Kind kind, const EntryPieces& p)
{
    return kind == Plain ? p.output : kind == Scrambled ? p.input : BlockHistorySize + p.output;
}

TEST(StreamEntry, EqualsTheWholeDecodingForEveryStorageAndPieceSize)
{
    struct Sample {
        const char* label;
        Bytes data;
    } samples[] = {
        {"empty", Bytes()},
        {"one byte", Bytes(1, 'x')},
        {"three bytes", Bytes{'a', 'b', 'c'}},
        {"five bytes", Bytes{1, 2, 3, 4, 5}},
        {"window - 1", Text(8191, 1)},
        {"window", Text(8192, 2)},
        {"window + 1", Text(8193, 3)},
        {"window + step - 1", Text(8192 + BlockStepMaxOutput - 1, 4)},
        {"window + step", Text(8192 + BlockStepMaxOutput, 5)},
        {"window + step + 1", Text(8192 + BlockStepMaxOutput + 1, 6)},
        {"window + 1000 + 1", Text(8192 + 1000 + 1, 7)},
        {"text 300000", Text(300000, 8)},
        {"zeros 500000", Bytes(500000, 0)},
        {"noise 70001", Random(70001, 9)},
        {"period 8192", [] { Bytes r = Random(8192, 10), b; for (int k = 0; k < 5; ++k) b.insert(b.end(), r.begin(), r.end()); return b; }()},
    };
    const EntryPieces* pieceSets[] = {&DefaultEntryPieces, &Tiny, &Odd, &Window};
    for (const Sample& s : samples) {
        for (Kind kind : Kinds) {
            StoredEntry e = MakeEntry(s.data, kind);
            int ok = 0;
            ASSERT_EQ(WholeDecode(e, &ok), s.data) << s.label << " " << KindName(kind);
            for (const EntryPieces* p : pieceSets) {
                Collected out;
                ASSERT_EQ(Stream(e, *p, &out), EntryStreamDone)
                    << s.label << " " << KindName(kind) << " pieces " << p->output << "/" << p->input;
                EXPECT_TRUE(out.bytes == s.data) << s.label << " " << KindName(kind) << " " << p->output;
                Collected fetched;
                ASSERT_EQ(StreamFetched(e, *p, &fetched), EntryStreamDone) << s.label << " " << KindName(kind);
                EXPECT_TRUE(fetched.bytes == s.data) << s.label << " " << KindName(kind) << " fetched";
                for (size_t piece : out.pieces) {
                    EXPECT_GT(piece, 0u);
                    EXPECT_LE(piece, LargestPiece(kind, *p)) << s.label << " " << KindName(kind);
                }
            }
        }
    }
}

// Hand-made blocks whose copies reach as far as the format allows, decoded with a slide after every step: each
// copy then reads history that the slide has just moved, 8192 bytes back included.
TEST(StreamEntry, CopiesReachIntoHistoryMovedBySlides)
{
    std::mt19937 rng(5);
    HandBlock h;
    for (int k = 0; k < 8192; ++k)
        Lit(h, (unsigned char)rng());
    for (int k = 0; k < 3000; ++k) {
        switch (rng() % 6) {
        case 0: Copy(h, 282, 8192); break;
        case 1: Copy(h, 3 + rng() % 280, 8192 - rng() % 16); break;
        case 2: Pair(h, 2303); break;
        case 3: Copy(h, 3 + rng() % 280, 1 + rng() % 3); break;
        case 4: Lit(h, (unsigned char)rng()); break;
        default: Copy(h, 27 + rng() % 256, 1 + rng() % 8192); break;
        }
    }
    End(h);
    for (Kind kind : {Block, BlockScrambled}) {
        StoredEntry e = MakeEntry(h.expected, kind, &h.block);
        for (const EntryPieces* p : {&Tiny, &Odd, &Window, &DefaultEntryPieces}) {
            Collected out;
            ASSERT_EQ(Stream(e, *p, &out), EntryStreamDone) << KindName(kind) << " " << p->output;
            EXPECT_TRUE(out.bytes == h.expected) << KindName(kind) << " " << p->output;
        }
    }
}

TEST(StreamEntry, RefusesDamagedBlocksLikeTheWholeDecoding)
{
    std::mt19937 rng(11);
    HandBlock h = RandomCodes(11, 1500);
    HandBlock early = ReachBeforeTheStart();

    struct Case {
        std::string label;
        StoredEntry e;
    };
    std::vector<Case> cases;
    for (Kind kind : {Block, BlockScrambled}) {
        std::string name = KindName(kind);
        StoredEntry good = MakeEntry(h.expected, kind, &h.block);
        for (size_t cut = 0; cut < good.stored.size(); cut += 97) {
            Bytes part(h.block.begin(), h.block.begin() + cut);
            StoredEntry e = MakeEntry(h.expected, kind, &part);
            cases.push_back({name + " cut at " + std::to_string(cut), e});
        }
        for (long delta : {-300L, -282L, -1L, 1L, 282L, 100000L}) {
            StoredEntry e = good;
            e.record.unpackedSize = (uint32_t)(e.record.unpackedSize + delta);
            cases.push_back({name + " unpacked size " + std::to_string(delta), e});
        }
        cases.push_back({name + " distance before the start", MakeEntry(early.expected, kind, &early.block)});
    }
    const EntryPieces* pieceSets[] = {&DefaultEntryPieces, &Tiny, &Odd};
    for (const Case& c : cases) {
        int ok = 1;
        WholeDecode(c.e, &ok);
        EXPECT_EQ(ok, 0) << c.label << ": the whole decoding refuses it too";
        for (const EntryPieces* p : pieceSets) {
            Collected out;
            EXPECT_EQ(Stream(c.e, *p, &out), EntryStreamDamaged) << c.label << " pieces " << p->output;
            EXPECT_LE(out.bytes.size(), h.expected.size()) << c.label;
        }
    }

    // Bytes changed at random: streamed and whole decoding agree on every outcome, bytes included.
    for (int trial = 0; trial < 300; ++trial) {
        StoredEntry e = MakeEntry(h.expected, trial % 2 ? BlockScrambled : Block, &h.block);
        for (int n = 0; n < 1 + trial % 4; ++n)
            e.stored[rng() % e.stored.size()] ^= (unsigned char)(1 + rng() % 255);
        int ok = 0;
        Bytes whole = WholeDecode(e, &ok);
        Collected out;
        EntryStreamResult r = Stream(e, Tiny, &out);
        EXPECT_EQ(r, ok ? EntryStreamDone : EntryStreamDamaged) << "trial " << trial;
        if (ok) {
            EXPECT_TRUE(out.bytes == whole) << "trial " << trial;
        }
    }
}

TEST(StreamEntry, StopsAtTheCallThatSaysSo)
{
    Bytes data = Text(100000, 12);
    for (Kind kind : Kinds) {
        StoredEntry e = MakeEntry(data, kind);
        for (size_t stopAt : {1u, 2u, 5u}) {
            Collected out;
            out.stopAtCall = stopAt;
            EXPECT_EQ(Stream(e, Odd, &out), EntryStreamStopped) << KindName(kind) << " " << stopAt;
            EXPECT_EQ(out.pieces.size(), stopAt) << KindName(kind) << ": no call after the stop";
        }
    }
}

TEST(EntryWorkspaceSize, StaysSmallWhateverTheEntrySizeAndIsEnforced)
{
    for (Kind kind : Kinds) {
        StoredEntry e = MakeEntry(Bytes(), kind);
        e.record.unpackedSize = 3000000000u;  // a 3 GB file: the workspace does not grow with it
        e.record.storedSize = kind == Plain || kind == Scrambled ? 3000000000u : 40000000u;
        size_t size = (size_t)-1;
        ASSERT_EQ(EntryWorkspaceSize(&e.record, nullptr, &size), 1) << KindName(kind);
        EXPECT_LE(size, 300u << 10) << KindName(kind);
        if (kind == Plain) {
            EXPECT_EQ(size, 0u) << "plain entries are handed out from the image";
        }
    }
    // One byte short of the workspace is refused before anything is written.
    Bytes data = Text(50000, 13);
    for (Kind kind : {Scrambled, Block, BlockScrambled}) {
        Collected out;
        EXPECT_EQ(Stream(MakeEntry(data, kind), Odd, &out, 1), EntryStreamDamaged) << KindName(kind);
        EXPECT_TRUE(out.pieces.empty()) << KindName(kind);
    }
    // Pieces the decoders cannot work with.
    ArchiveEntry record = MakeEntry(data, Block).record;
    size_t size;
    for (EntryPieces bad : {EntryPieces{BlockStepMaxOutput - 1, 64}, EntryPieces{1000, 66}, EntryPieces{1000, 60}}) {
        EXPECT_EQ(EntryWorkspaceSizeInPieces(&record, nullptr, &bad, &size), 0) << bad.output << "/" << bad.input;
    }
}

// A source that fails part-way (a read error in the archive file) ends the entry as unreadable, not damaged,
// whatever the method; nothing is fetched past the stored bytes.
TEST(StreamEntry, FromASourceThatFailsPartWay)
{
    Bytes file = Text(400000, 40);
    std::vector<StoredEntry> entries;
    for (Kind kind : Kinds)
        entries.push_back(MakeEntry(file, kind));
    if (LzmaEncoderAvailable()) {
        StoredEntry e;
        memset(&e.record, 0, sizeof e.record);
        std::string error;
        ASSERT_EQ(EncodeLzma(file.data(), file.size(), EncodeFast, &e.stored, &error), 1) << error;
        e.record.storage = EntryStorageLzma;
        e.record.unpackedSize = (uint32_t)file.size();
        e.record.storedSize = (uint32_t)e.stored.size();
        entries.push_back(e);
    }
    for (const StoredEntry& e : entries) {
        Collected whole;
        EXPECT_EQ(StreamFetched(e, Odd, &whole), EntryStreamDone) << (int)e.record.storage;
        EXPECT_TRUE(whole.bytes == file) << (int)e.record.storage;
        for (uint64_t failAt : {(uint64_t)0, (uint64_t)100, (uint64_t)e.stored.size() / 2, (uint64_t)e.stored.size() - 1}) {
            Collected out;
            EXPECT_EQ(StreamFetched(e, Odd, &out, failAt), EntryStreamUnreadable)
                << (int)e.record.storage << " failing at " << failAt;
            EXPECT_LT(out.bytes.size(), file.size());
        }
    }
}

}  // namespace
