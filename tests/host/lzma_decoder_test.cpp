// Our LZMA decoder against liblzma's encoder and decoder: every stream liblzma writes decodes to the same bytes
// (presets, dictionary sizes, lc/lp/pb, with and without the end marker, in pieces of every size), and damaged
// streams get the verdict liblzma gives them, without a read or write outside exact-size buffers.
#include <gtest/gtest.h>
#include <lzma.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/entry_stream.h"
#include "archive/lzma_decoder.h"
#include "archive_writer.h"
#include "hand_block.h"
#include "lzma_encoder.h"

namespace {

Bytes Random(size_t size, unsigned seed) { return RandomBytes(size, seed); }

Bytes Text(size_t size, unsigned seed)
{
    static const char* words[] = {"update ", "archive ", "range ", "coder ", "\r\n", "1.02 ", "[SETUP] ", "game "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < size) {
        const char* w = words[rng() % 8];
        b.insert(b.end(), w, w + strlen(w));
        if (rng() % 7 == 0)
            b.push_back((unsigned char)rng());
    }
    b.resize(size);
    return b;
}

// Records of a binary table: small counters next to constant fields, where lp and pb pay.
Bytes Records(size_t size)
{
    Bytes b;
    for (uint32_t k = 0; b.size() < size; ++k) {
        uint32_t fields[4] = {k, 1000 + k * 3, k % 7, 0xFFFF0000u};
        b.insert(b.end(), (unsigned char*)fields, (unsigned char*)fields + sizeof fields);
    }
    b.resize(size);
    return b;
}

Bytes Mixed(size_t size)
{
    Bytes b = Text(size / 3, 21), r = Random(size / 3, 22), t = Records(size - 2 * (size / 3));
    b.insert(b.end(), r.begin(), r.end());
    b.insert(b.end(), t.begin(), t.end());
    return b;
}

struct Settings {
    uint32_t preset;
    uint32_t dictionary;  // 0: the preset's
    int lc, lp, pb;       // -1: the preset's
    bool endMarker;
};

std::string Describe(const Settings& s)
{
    return "preset " + std::to_string(s.preset & 15) + ((s.preset & LZMA_PRESET_EXTREME) ? "e" : "") + " dict " +
           std::to_string(s.dictionary) + " lc/lp/pb " + std::to_string(s.lc) + "/" + std::to_string(s.lp) + "/" +
           std::to_string(s.pb) + (s.endMarker ? " marker" : "");
}

// The archive's stored form of `data` as liblzma writes it with these settings.
Bytes Encode(const Bytes& data, const Settings& s)
{
    lzma_options_lzma options;
    EXPECT_FALSE(lzma_lzma_preset(&options, s.preset));
    if (s.dictionary)
        options.dict_size = s.dictionary;
    if (options.dict_size > LzmaMaxDictionary)  // presets 7 to 9 ask for more than an archive may name
        options.dict_size = LzmaMaxDictionary;
    if (s.lc >= 0)
        options.lc = (uint32_t)s.lc, options.lp = (uint32_t)s.lp, options.pb = (uint32_t)s.pb;
    options.ext_flags = s.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(5 + data.size() + data.size() / 2 + 4096);
    out[0] = (unsigned char)((options.pb * 5 + options.lp) * 9 + options.lc);
    for (int k = 0; k < 4; ++k)
        out[1 + k] = (unsigned char)(options.dict_size >> (8 * k));
    size_t inPos = 0, outPos = 5;
    lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &outPos, out.size());
    EXPECT_EQ(ret, LZMA_OK) << Describe(s);
    (void)inPos;
    out.resize(outPos);
    return out;
}

// liblzma's verdict on stored data: 1 and the bytes when it decodes to exactly `size` bytes (end marker optional).
int LibDecode(const Bytes& stored, uint32_t size, Bytes* out)
{
    if (stored.size() < 5)
        return 0;
    lzma_options_lzma options;
    memset(&options, 0, sizeof options);
    unsigned props = stored[0];
    if (props >= 225)
        return 0;
    options.lc = props % 9;
    options.lp = (props / 9) % 5;
    options.pb = props / 45;
    options.dict_size = ReadLzmaDictionary(stored.data());
    if (options.dict_size < 4096)
        options.dict_size = 4096;
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    lzma_set_ext_size(options, size);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    out->assign(size + 1, 0);
    size_t inPos = 5, outPos = 0;
    lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, stored.data(), &inPos, stored.size(), out->data(),
                                          &outPos, out->size());
    out->resize(outPos);
    return ret == LZMA_OK && outPos == size && inPos == stored.size();
}

ArchiveEntry Record(const Bytes& stored, uint32_t unpackedSize, int scrambled)
{
    ArchiveEntry e;
    memset(&e, 0, sizeof e);
    e.storage = EntryStorageLzma;
    e.scramble = scrambled ? EntryScrambled : 0;
    e.unpackedSize = unpackedSize;
    e.storedSize = (uint32_t)stored.size();
    return e;
}

struct Collected {
    Bytes bytes;
    size_t pieces = 0;
    size_t largest = 0;
};

int Collect(void* context, const unsigned char* bytes, size_t count)
{
    Collected* c = (Collected*)context;
    EXPECT_GT(count, 0u);
    c->bytes.insert(c->bytes.end(), bytes, bytes + count);
    c->pieces++;
    c->largest = count > c->largest ? count : c->largest;
    return 1;
}

// Streams stored LZMA data (scrambled first when asked) with exact-size buffers; `ok` 0 when refused.
Bytes Stream(Bytes stored, uint32_t unpackedSize, int scrambled, const EntryPieces& pieces, EntryStreamResult* result,
             Collected* seen = nullptr)
{
    if (scrambled)
        DescrambleEntry(stored.data(), (uint32_t)stored.size());
    ArchiveEntry e = Record(stored, unpackedSize, scrambled);
    size_t size = 0;
    Collected local;
    Collected* out = seen ? seen : &local;
    if (!EntryWorkspaceSizeInPieces(&e, stored.data(), &pieces, &size)) {
        *result = EntryStreamDamaged;
        return Bytes();
    }
    std::vector<unsigned char> workspace(size);
    *result = StreamEntryInPieces(&e, stored.data(), &pieces, workspace.data(), size, Collect, out);
    return out->bytes;
}

const EntryPieces Tiny = {314, 64};
const EntryPieces Odd = {1000, 68};

TEST(LzmaDecoder, DecodesWhatLiblzmaWritesWithEverySetting)
{
    std::vector<Settings> settings;
    for (uint32_t preset = 0; preset <= 9; ++preset)
        settings.push_back({preset, 0, -1, -1, -1, false});
    settings.push_back({6 | LZMA_PRESET_EXTREME, 0, -1, -1, -1, false});
    settings.push_back({9 | LZMA_PRESET_EXTREME, 1u << 20, -1, -1, -1, true});
    for (uint32_t dictionary : {4096u, 4097u, 65536u, 1u << 20})
        settings.push_back({6, dictionary, -1, -1, -1, false});
    for (int lc = 0; lc <= 4; ++lc)
        for (int lp = 0; lc + lp <= 4; ++lp)  // liblzma's own limit
            for (int pb = 0; pb <= 4; pb += 2)
                settings.push_back({(uint32_t)(lc + lp + pb) % 7, 1u << 16, lc, lp, pb, (lc + pb) % 2 == 1});
    const Bytes samples[] = {Bytes(), Bytes(1, 'q'), Text(5000, 1), Mixed(100000), Bytes(70000, 0),
                             Records(60000)};
    for (const Settings& s : settings) {
        for (const Bytes& data : samples) {
            Bytes stored = Encode(data, s);
            Bytes lib;
            ASSERT_EQ(LibDecode(stored, (uint32_t)data.size(), &lib), 1) << Describe(s);
            EntryStreamResult result;
            for (int scrambled : {0, 1}) {
                Bytes ours = Stream(stored, (uint32_t)data.size(), scrambled, DefaultEntryPieces, &result);
                ASSERT_EQ(result, EntryStreamDone) << Describe(s) << " size " << data.size() << " s" << scrambled;
                EXPECT_TRUE(ours == data) << Describe(s) << " size " << data.size();
            }
        }
    }
}

// A small dictionary on a long entry: the window is a ring that wraps many times, with copies across its end and
// across every flush, whatever the pieces.
TEST(LzmaDecoder, TheWindowWrapsAndFlushesAnywhere)
{
    Bytes data = Mixed(400000);
    for (uint32_t dictionary : {4096u, 5000u, 65536u}) {
        Bytes stored = Encode(data, {6, dictionary, -1, -1, -1, dictionary == 5000u});
        for (const EntryPieces* p : {&DefaultEntryPieces, &Tiny, &Odd}) {
            for (int scrambled : {0, 1}) {
                EntryStreamResult result;
                Collected seen;
                Bytes ours = Stream(stored, (uint32_t)data.size(), scrambled, *p, &result, &seen);
                ASSERT_EQ(result, EntryStreamDone) << dictionary << " " << p->output;
                EXPECT_TRUE(ours == data) << dictionary << " " << p->output;
                EXPECT_LE(seen.largest, p->output < dictionary ? p->output : dictionary);
                EXPECT_GE(seen.pieces, data.size() / (p->output < dictionary ? p->output : dictionary));
            }
        }
    }
}

TEST(LzmaDecoder, DamageGetsLiblzmasVerdictWithoutStrayAccess)
{
    Bytes data = Mixed(30000);
    Bytes good = Encode(data, {6, 1u << 16, -1, -1, -1, false});
    Bytes marked = Encode(data, {6, 1u << 16, -1, -1, -1, true});
    struct Case {
        std::string label;
        Bytes stored;
        uint32_t size;
    };
    std::vector<Case> cases;
    for (size_t cut = 0; cut < good.size(); cut += 211)
        cases.push_back({"cut at " + std::to_string(cut), Bytes(good.begin(), good.begin() + cut), 30000});
    cases.push_back({"last byte cut", Bytes(good.begin(), good.end() - 1), 30000});
    cases.push_back({"marker cut", Bytes(marked.begin(), marked.end() - 1), 30000});
    for (long delta : {-1000L, -1L, 1L, 273L}) {
        cases.push_back({"size " + std::to_string(delta), good, (uint32_t)(30000 + delta)});
        cases.push_back({"marked, size " + std::to_string(delta), marked, (uint32_t)(30000 + delta)});
    }
    Bytes trailing = good;
    trailing.push_back(0);
    cases.push_back({"a byte after the data", trailing, 30000});
    Bytes badProperties = good;
    badProperties[0] = 225;
    cases.push_back({"properties 225", badProperties, 30000});
    Bytes badFirst = good;
    badFirst[5] = 1;
    cases.push_back({"first range byte not 0", badFirst, 30000});
    // A dictionary smaller than the distances the stream uses.
    Bytes far = Encode(Bytes(data.begin(), data.end()), {6, 1u << 16, -1, -1, -1, false});
    far[1] = 0, far[2] = 0x10, far[3] = 0, far[4] = 0;  // 4096
    cases.push_back({"dictionary too small for the stream", far, 30000});

    std::mt19937 rng(3);
    for (int trial = 0; trial < 400; ++trial) {
        Bytes b = trial % 2 ? marked : good;
        for (int n = 0; n < 1 + trial % 3; ++n)
            b[5 + rng() % (b.size() - 5)] ^= (unsigned char)(1 + rng() % 255);
        cases.push_back({"flipped, trial " + std::to_string(trial), b, 30000});
    }

    int refused = 0;
    for (const Case& c : cases) {
        Bytes lib;
        int libOk = LibDecode(c.stored, c.size, &lib);
        for (const EntryPieces* p : {&DefaultEntryPieces, &Tiny}) {
            EntryStreamResult result;
            Bytes ours = Stream(c.stored, c.size, p == &Tiny, *p, &result);
            EXPECT_EQ(result == EntryStreamDone, libOk == 1) << c.label;
            EXPECT_NE(result, EntryStreamStopped) << c.label;
            EXPECT_LE(ours.size(), c.size) << c.label;
            if (libOk && result == EntryStreamDone) {
                EXPECT_TRUE(ours == lib) << c.label;
            }
        }
        refused += !libOk;
    }
    EXPECT_GT(refused, (int)cases.size() / 2);  // the cases are mostly damage that shows
}

TEST(LzmaDecoder, WorkspaceIsTablesAndAWindowOfTheDictionaryAtMost)
{
    Bytes header = {93, 0, 0, 0x80, 0, 0, 0, 0, 0, 0};  // lc 3 lp 0 pb 2, 8 MiB
    struct Case {
        uint32_t dictionary, unpackedSize;
        int scrambled;
        uint64_t window;
    } cases[] = {
        {8u << 20, 100, 0, 100},
        {8u << 20, 3000000000u, 0, 8u << 20},
        {8u << 20, 3000000000u, 1, 8u << 20},
        {100, 1u << 20, 0, 4096},  // dictionaries under 4 KiB count as 4 KiB
    };
    for (const Case& c : cases) {
        Bytes stored = header;
        for (int k = 0; k < 4; ++k)
            stored[1 + k] = (unsigned char)(c.dictionary >> (8 * k));
        if (c.scrambled)
            DescrambleEntry(stored.data(), (uint32_t)stored.size());
        ArchiveEntry e = Record(stored, c.unpackedSize, c.scrambled);
        size_t size = 0;
        ASSERT_EQ(EntryWorkspaceSize(&e, stored.data(), &size), 1) << c.dictionary;
        uint64_t tables = LzmaFixedProbabilities * 2 + (0x300u << 3) * 2;
        EXPECT_GE(size, c.window + tables) << c.dictionary;
        EXPECT_LE(size, c.window + tables + 16 + (c.scrambled ? 64 + DefaultEntryPieces.input : 0)) << c.dictionary;
    }
    // A dictionary past what fa2 build writes is damage, whatever the entry's size: no window is sized for it.
    for (uint32_t dictionary : {(8u << 20) + 1, 1u << 30, 0xFFFFFFFFu}) {
        Bytes stored = header;
        for (int k = 0; k < 4; ++k)
            stored[1 + k] = (unsigned char)(dictionary >> (8 * k));
        ArchiveEntry e = Record(stored, 1u << 30, 0);
        size_t size = 0;
        EXPECT_EQ(EntryWorkspaceSize(&e, stored.data(), &size), 0) << dictionary;
        uint16_t probabilities[LzmaTableProbabilities];
        unsigned char out[16];
        EXPECT_EQ(DecompressLzma(out, sizeof out, stored.data(), stored.size(), probabilities, LzmaTableProbabilities),
                  0)
            << dictionary;
    }
    // Properties that name no coder, and headers too short to hold them.
    Bytes bad = header;
    bad[0] = 225;
    ArchiveEntry e = Record(bad, 10, 0);
    size_t size;
    EXPECT_EQ(EntryWorkspaceSize(&e, bad.data(), &size), 0);
    for (uint32_t storedSize : {0u, 4u}) {
        e = Record(Bytes(storedSize), 0, 0);
        EXPECT_EQ(EntryWorkspaceSize(&e, header.data(), &size), 0) << storedSize;
    }
}

// The method bits: an archive never mistakes one method for the other, and both bits at once are damage.
TEST(LzmaDecoder, StorageBitsNameTheMethod)
{
    Bytes data = Text(20000, 5);
    Bytes lzma = Encode(data, {6, 0, -1, -1, -1, false});
    ArchiveEntry e = Record(lzma, (uint32_t)data.size(), 0);
    EXPECT_TRUE(CheckEntryData(&e, 0, lzma.size()));
    e.storage = EntryStorageLzma | EntryStorageCompressed;
    EXPECT_FALSE(CheckEntryData(&e, 0, lzma.size()));
    size_t size;
    EXPECT_EQ(EntryWorkspaceSize(&e, lzma.data(), &size), 0);
    e.storage = EntryStorageCompressed;  // LZMA data read as a block: refused, not misread
    EntryStreamResult result = EntryStreamDone;
    if (CheckEntryData(&e, 0, lzma.size())) {
        ASSERT_EQ(EntryWorkspaceSize(&e, lzma.data(), &size), 1);
        std::vector<unsigned char> workspace(size);
        Collected out;
        result = StreamEntry(&e, lzma.data(), workspace.data(), size, Collect, &out);
    }
    EXPECT_NE(result, EntryStreamDone);
    // A claim no stream of this length can make is refused before anything is sized for it.
    e = Record(lzma, 0xFFFFFFF0u, 0);
    EXPECT_FALSE(CheckEntryData(&e, 0, lzma.size()));
}

TEST(LzmaEncoder, FitsTheDictionaryToTheEntryAndCapsIt)
{
    ASSERT_EQ(LzmaEncoderAvailable(), 1);
    struct Case {
        size_t size;
        EncodeLevel level;
        uint32_t dictionary;
    } cases[] = {
        {0, EncodeDefault, 4096},
        {1000, EncodeDefault, 4096},
        {5000, EncodeFast, 8192},
        {3u << 20, EncodeDefault, 3u << 20},
        {(8u << 20) + 1, EncodeBest, 8u << 20},  // 9e asks for 64 MiB: capped
        {9u << 20, EncodeFast, 1u << 20},  // preset 1's own
    };
    for (const Case& c : cases) {
        Bytes data = c.size > (1u << 20) ? Bytes(c.size, 7) : Records(c.size);  // quick to pack when large
        Bytes stored;
        std::string error;
        ASSERT_EQ(EncodeLzma(data.data(), data.size(), c.level, &stored, &error), 1) << error;
        EXPECT_EQ(ReadLzmaDictionary(stored.data()), c.dictionary) << c.size;
        EntryStreamResult result;
        EXPECT_TRUE(Stream(stored, (uint32_t)data.size(), 0, Odd, &result) == data) << c.size;
        EXPECT_EQ(result, EntryStreamDone);
    }
}

// The progress line moves inside a file the LZMA encoder takes in, as it does with the block method: at each
// piece it reads, the encoder has published what it took before.
struct SeenProgress {
    Bytes data;
    size_t at;
    std::vector<size_t> seen;
};

int ReadSeeingProgress(void* context, unsigned char* bytes, size_t count)
{
    SeenProgress* s = (SeenProgress*)context;
    s->seen.push_back(EncodeBlockProgress.load());
    memcpy(bytes, s->data.data() + s->at, count);
    s->at += count;
    return 1;
}

TEST(LzmaEncoder, PublishesHowFarItIsInsideTheFile)
{
    SeenProgress input = {Records(4u << 20), 0, {}};
    EncodeBlockProgress.store(0);
    Bytes stored;
    uint64_t written = 0;
    std::string error;
    ASSERT_EQ(EncodeLzmaStream(input.data.size(), EncodeFast, 1, ReadSeeingProgress, &input, VectorSink(&stored),
                               &written, &error),
              1)
        << error;
    EXPECT_EQ(input.seen, (std::vector<size_t>{0, 1u << 20, 2u << 20, 3u << 20}));
}

// The table in LZMA, through the same open as the updater's.
int WriteFiveBytes(void* context, const unsigned char*, size_t count)
{
    size_t* taken = (size_t*)context;
    if (count > 5 - *taken)
        return 0;
    *taken += count;
    return 1;
}

// A sink that takes the header and refuses the stream (which liblzma hands over in its last call here) fails
// the encoding.
TEST(LzmaEncoder, ARefusedWriteIsAFailure)
{
    Bytes data(1000, 'a');
    size_t taken = 0;
    ByteSink sink = {WriteFiveBytes, nullptr, &taken};
    uint64_t written = 0;
    std::string error;
    const unsigned char* next = data.data();
    EncodeReader read = [](void* context, unsigned char* bytes, size_t count) {
        const unsigned char** at = (const unsigned char**)context;
        memcpy(bytes, *at, count);
        *at += count;
        return 1;
    };
    EXPECT_EQ(EncodeLzmaStream(data.size(), EncodeFast, 1, read, &next, sink, &written, &error), 0);
    EXPECT_EQ(error, "write error");
}

TEST(LzmaDecoder, ArchivesWithLzmaEntriesAndTableRoundTrip)
{
    std::vector<WriterEntry> entries;
    for (int k = 0; k < 40; ++k) {
        WriterEntry e;
        e.name = "file" + std::to_string(k) + ".dat";
        e.data = k % 3 == 0 ? Random(3000 + k, k) : Text(10000 + 100 * k, k);
        e.fileTime = 0x01D5000000000000ull + k;
        e.storage = PackCompressIfSmaller;
        e.scramble = k % 2;
        entries.push_back(e);
    }
    WriterOptions options;
    options.table = PackCompressIfSmaller;
    options.level = EncodeDefault;
    options.codec = CodecLzma;
    Bytes image;
    std::string error;
    ASSERT_EQ(WriteArchive(entries, options, &image, &error), 1) << error;
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    EXPECT_EQ(header.flags, ArchiveFlagTableLzma | ArchiveFlagNewMethods);
    uint32_t blockSize, tableLength;
    ASSERT_TRUE(ArchiveTableBlockSize(header.entryCount, &blockSize));
    ASSERT_TRUE(LocateArchiveTable(&header, image.size(), &tableLength));
    Bytes block(blockSize);
    ArchiveTable* table = (ArchiveTable*)block.data();
    ASSERT_TRUE(FillArchiveTable(table, blockSize, image.data(), image.size()));
    for (const WriterEntry& w : entries) {
        const ArchiveEntry* e;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(table, w.name.c_str(), &e, &offset)) << w.name;
        bool noise = w.data.size() < 4000;  // the random ones: stored, since LZMA cannot shrink them
        EXPECT_EQ(EntryMethodOf(e), noise ? EntryMethodStored : EntryMethodLzma) << w.name;
        ASSERT_TRUE(CheckEntryData(e, offset, image.size()));
        Bytes stored(image.begin() + offset, image.begin() + offset + e->storedSize);
        size_t size;
        ASSERT_EQ(EntryWorkspaceSize(e, stored.data(), &size), 1);
        std::vector<unsigned char> workspace(size);
        Collected out;
        ASSERT_EQ(StreamEntry(e, stored.data(), workspace.data(), size, Collect, &out), EntryStreamDone) << w.name;
        EXPECT_TRUE(out.bytes == w.data) << w.name;
    }
    // Both table bits at once, and a damaged LZMA table, are refused.
    Bytes both = image;
    both[4] = ArchiveFlagTableLzma | ArchiveFlagTableCompressed;
    ReadArchiveHeader(both.data(), &header);
    EXPECT_FALSE(LocateArchiveTable(&header, both.size(), &tableLength));
    Bytes damaged = image;
    damaged[damaged.size() - 3] ^= 0x55;
    EXPECT_FALSE(FillArchiveTable(table, blockSize, damaged.data(), damaged.size()));
}

int ReadFromMemory(void* context, unsigned char* bytes, size_t count)
{
    const unsigned char** at = (const unsigned char**)context;
    memcpy(bytes, *at, count);
    *at += count;
    return 1;
}

// The pieced form, encoded `threads` pieces at once from memory; with pieceSize 0, the form the file's size
// chooses.
Bytes EncodePieced(const Bytes& data, size_t pieceSize, EncodeLevel level, int threads)
{
    Bytes stored;
    std::string error;
    uint64_t written = 0;
    const unsigned char* next = data.data();
    int ok = pieceSize ? EncodeLzmaPieced(data.size(), pieceSize, level, threads, ReadFromMemory, &next,
                                          VectorSink(&stored), &written, &error)
                       : EncodeLzmaStream(data.size(), level, threads, ReadFromMemory, &next, VectorSink(&stored),
                                          &written, &error);
    EXPECT_EQ(ok, 1) << error;
    EXPECT_EQ(written, stored.size());
    return stored;
}

// Each piece's sizes as its header gives them, walked from the entry's header on.
std::vector<std::pair<uint32_t, uint32_t>> PieceSizes(const Bytes& stored)
{
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    for (size_t at = LzmaPiecedHeaderSize; at + LzmaPieceHeaderSize <= stored.size();) {
        uint32_t decoded = LoadLe32(&stored[at]), streamSize = LoadLe32(&stored[at + 4]);
        sizes.push_back({decoded, streamSize});
        at += LzmaPieceHeaderSize + streamSize;
    }
    return sizes;
}

// A random run, then the same run again: the repeat is one long match back into the run.
Bytes Repeated(size_t run, size_t copies)
{
    Bytes once = Random(run, 41), b;
    for (size_t k = 0; k < copies; ++k)
        b.insert(b.end(), once.begin(), once.end());
    return b;
}

// Pieced entries decode to the file through one window, in place and through a descrambled buffer of tiny
// pieces, and the bytes do not depend on how many pieces are encoded at once.
TEST(LzmaPieces, RoundTripThroughOneWindowWhateverTheThreads)
{
    struct Case {
        std::string label;
        Bytes data;
        size_t pieceSize;
        EncodeLevel level;
        size_t pieces;
    };
    const Case cases[] = {
        {"one piece", Mixed(30000), 32768, EncodeDefault, 1},
        // The second piece starts 1000 bytes into the repeat: without the first piece as its dictionary it could
        // not be matched.
        {"a piece boundary inside a match", Repeated(5000, 2), 6000, EncodeDefault, 2},
        {"the last piece one byte long", Mixed(3 * 4096 + 1), 4096, EncodeDefault, 4},
        // Pieces start past the 1 MiB dictionary of the fast preset: each is primed with only the dictionary's
        // worth, the ring wraps, and lc/lp/pb positions still count from the entry's start.
        {"pieces past the dictionary", Mixed(3u << 20), (1u << 20) - 48, EncodeFast, 4},
        {"a piece ending where the ring wraps", Mixed((2u << 20) + 100), 1u << 20, EncodeFast, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes stored = EncodePieced(c.data, c.pieceSize, c.level, 1);
        ASSERT_GE(stored.size(), LzmaPiecedHeaderSize);
        EXPECT_EQ(stored[0], LzmaPiecedMark);
        auto sizes = PieceSizes(stored);
        EXPECT_EQ(sizes.size(), c.pieces);
        uint64_t decoded = 0, streams = 0;
        for (auto& p : sizes)
            decoded += p.first, streams += LzmaPieceHeaderSize + p.second;
        EXPECT_EQ(decoded, c.data.size());
        EXPECT_EQ(LzmaPiecedHeaderSize + streams, stored.size());
        for (int threads : {2, 3})
            EXPECT_TRUE(EncodePieced(c.data, c.pieceSize, c.level, threads) == stored) << threads << " threads";
        for (const EntryPieces* p : {&DefaultEntryPieces, &Tiny, &Odd}) {
            EntryStreamResult result;
            Bytes out = Stream(stored, (uint32_t)c.data.size(), p == &Tiny, *p, &result);
            EXPECT_EQ(result, EntryStreamDone);
            EXPECT_TRUE(out == c.data);
        }
    }
    // The repeat costs almost nothing in the second piece: it reaches back into the first.
    Bytes repeat = Repeated(5000, 2);
    EXPECT_LT(EncodePieced(repeat, 6000, EncodeDefault, 1).size(), 5000u + 200u);
}

// Files from LzmaPiecedFrom bytes on are pieced, in an even number of pieces so that two cores share them;
// smaller ones keep the plain form every reader knows.
TEST(LzmaPieces, LargeFilesArePiecedInAnEvenNumberOfPieces)
{
    struct Case {
        size_t size, pieces;
    } cases[] = {{LzmaPiecedFrom - 1, 0}, {LzmaPiecedFrom, 2},  {60u << 20, 2},
                 {65u << 20, 4},          {1000u << 20, 32},      {0xFFFFFFFFu, 128}};
    for (const Case& c : cases) {
        size_t piece = LzmaPieceSize(c.size);
        if (c.pieces == 0) {
            EXPECT_EQ(piece, 0u) << c.size;
            continue;
        }
        EXPECT_EQ(piece % 16, 0u) << c.size;
        EXPECT_LE(piece, LzmaPieceTarget + 0xFFFF) << c.size;
        EXPECT_EQ(((uint64_t)c.size + piece - 1) / piece, (uint64_t)c.pieces) << c.size;  // 32-bit size_t too
    }
    Bytes large(LzmaPiecedFrom, 'x');
    Bytes stored = EncodePieced(large, 0, EncodeFast, 2);
    EXPECT_EQ(stored[0], LzmaPiecedMark);
    EXPECT_EQ(PieceSizes(stored).size(), 2u);
    EntryStreamResult result;
    EXPECT_TRUE(Stream(stored, (uint32_t)large.size(), 1, DefaultEntryPieces, &result) == large);
    EXPECT_EQ(result, EntryStreamDone);
    Bytes smaller(large.begin(), large.end() - 1);
    EXPECT_NE(EncodePieced(smaller, 0, EncodeFast, 2)[0], LzmaPiecedMark);
    // The table's form stays plain whatever its size: it is decoded whole, by the plain form's reader.
    std::string error;
    ASSERT_EQ(EncodeLzma(large.data(), large.size(), EncodeFast, &stored, &error), 1) << error;
    EXPECT_NE(stored[0], LzmaPiecedMark);
}

void PutLittle(Bytes* b, size_t at, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        (*b)[at + k] = (unsigned char)(value >> (8 * k));
}

// Damaged pieced entries are refused, with exact-size buffers (a stray read or write shows under the
// sanitizers), and an updater that knows only the plain form refuses them at the mark.
TEST(LzmaPieces, DamagedPiecesAreRefused)
{
    Bytes data = Mixed(3 * 4096 + 100);
    const uint32_t size = (uint32_t)data.size();
    Bytes good = EncodePieced(data, 4096, EncodeDefault, 1);
    auto sizes = PieceSizes(good);
    ASSERT_EQ(sizes.size(), 4u);
    const size_t first = LzmaPiecedHeaderSize;                        // the first piece's header
    const size_t second = first + LzmaPieceHeaderSize + sizes[0].second;
    const size_t last = good.size() - LzmaPieceHeaderSize - sizes[3].second;
    struct Case {
        std::string label;
        Bytes stored;
        uint32_t unpackedSize;
    };
    std::vector<Case> cases;
    auto with = [&](const std::string& label, size_t at, uint32_t value) {
        Bytes b = good;
        PutLittle(&b, at, value);
        cases.push_back({label, b, size});
    };
    with("a piece claiming more than the entry", first, size + 1);
    with("the last piece claiming one byte more", last, sizes[3].first + 1);
    with("the last piece claiming one byte less", last, sizes[3].first - 1);
    with("a piece of no bytes", second, 0);
    with("a stream past the stored end", second + 4, (uint32_t)good.size());
    with("a stream one byte longer", second + 4, sizes[1].second + 1);
    with("a stream one byte shorter", second + 4, sizes[1].second - 1);
    with("a stream too short to start", first + 4, 4);
    with("a dictionary over the limit", 2, LzmaMaxDictionary + 1);
    cases.push_back({"a piece header past the end", Bytes(good.begin(), good.begin() + last + 5), size});
    cases.push_back({"the last piece missing", Bytes(good.begin(), good.begin() + last), size});
    cases.push_back({"the entry claiming a byte more", good, size + 1});
    cases.push_back({"the entry claiming a byte less", good, size - 1});
    cases.push_back({"an empty entry with a piece", good, 0});
    Bytes trailing = good;
    trailing.push_back(0);
    cases.push_back({"a byte after the last piece", trailing, size});
    cases.push_back({"the mark alone", Bytes(good.begin(), good.begin() + 5), size});
    Bytes second0 = good;
    second0[second + LzmaPieceHeaderSize] = 1;
    cases.push_back({"a piece's stream not starting with 0", second0, size});
    std::mt19937 rng(9);
    for (int trial = 0; trial < 300; ++trial) {
        Bytes b = good;
        for (int n = 0; n < 1 + trial % 3; ++n)
            b[1 + rng() % (b.size() - 1)] ^= (unsigned char)(1 + rng() % 255);
        cases.push_back({"flipped, trial " + std::to_string(trial), b, size});
    }

    size_t refused = 0;
    for (const Case& c : cases) {
        for (const EntryPieces* p : {&DefaultEntryPieces, &Tiny}) {
            EntryStreamResult result;
            Bytes out = Stream(c.stored, c.unpackedSize, p == &Tiny, *p, &result);
            EXPECT_LE(out.size(), c.unpackedSize) << c.label;
            EXPECT_NE(result, EntryStreamStopped) << c.label;
            bool deliberate = c.label.compare(0, 7, "flipped") != 0;
            if (deliberate) {
                EXPECT_NE(result, EntryStreamDone) << c.label;
            } else if (result == EntryStreamDone) {
                EXPECT_EQ(out.size(), c.unpackedSize) << c.label;
            }
            refused += result != EntryStreamDone;
        }
    }
    EXPECT_GT(refused, cases.size());  // most flips show, and every deliberate case does

    // The plain form's reader (the table's, and every updater before this form) takes the mark for a properties
    // byte no coder has, before it sizes anything.
    LzmaProperties properties;
    EXPECT_EQ(ReadLzmaProperties(good[0], ReadLzmaDictionary(good.data()), &properties), 0);
    uint16_t probabilities[LzmaTableProbabilities];
    Bytes out(size);
    EXPECT_EQ(DecompressLzma(out.data(), size, good.data(), good.size(), probabilities, LzmaTableProbabilities), 0);
}

}  // namespace
