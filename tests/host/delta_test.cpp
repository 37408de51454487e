// Delta entries: SHA-256 against the published vectors, the header flag that gates the new methods, the
// encoder and decoder round trip, hostile deltas, the old-file check, and fa2 build/list/verify/extract --from.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/delta_decoder.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "byte_sink.h"
#include "delta_encoder.h"
#include "file_io.h"
#include "lzma_encoder.h"
#include "support/sha256.h"

namespace {

namespace fs = std::filesystem;
typedef std::vector<unsigned char> Bytes;

Bytes Noise(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (unsigned char& b : bytes)
        b = (unsigned char)random();
    return bytes;
}

std::string Hex(const unsigned char* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// ---- SHA-256 ----

TEST(Sha256, PublishedVectorsInAnyPieces)
{
    struct Case {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // The padding's edges (figures from another implementation): the length just fits the block, just
        // does not, and a whole block of message.
        {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
        {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
        {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {(size_t)1, (size_t)7, (size_t)63, (size_t)64, (size_t)4096}) {
            Sha256 sha;
            StartSha256(&sha);
            for (size_t at = 0; at < c.message.size(); at += piece)
                Sha256Update(&sha, c.message.data() + at, std::min(piece, c.message.size() - at));
            unsigned char digest[Sha256Size];
            FinishSha256(&sha, digest);
            std::string hex = Hex(digest, sizeof digest);
            EXPECT_EQ(hex, c.digest) << c.message.size() << " bytes in pieces of " << piece;
        }
    }
}

// ---- the header flag ----

// An archive image by hand: a plain table of records with the given storage bytes, each a stored "x".
Bytes HandArchive(uint32_t flags, const std::vector<unsigned char>& storages)
{
    Bytes image(ArchiveHeaderSize);
    for (size_t i = 0; i < storages.size(); i++) {
        image.push_back('x');
        image.resize(image.size() + 15, 0);
    }
    ArchiveHeader header = {ArchiveMagic, flags, (uint32_t)image.size(), (uint32_t)storages.size()};
    memcpy(image.data(), &header, sizeof header);
    for (unsigned char storage : storages) {
        ArchiveEntry record;
        memset(&record, 0, sizeof record);
        record.name[0] = 'a';
        record.storage = storage;
        record.unpackedSize = record.storedSize = 1;
        const unsigned char* bytes = (const unsigned char*)&record;
        image.insert(image.end(), bytes, bytes + sizeof record);
    }
    return image;
}

TEST(FormatGate, StorageBitsBeyondTwoAreReadOnlyUnderTheFlag)
{
    struct Case {
        unsigned char storage;
        EntryMethod without, with;
    } cases[] = {
        {0, EntryMethodStored, EntryMethodStored},   {1, EntryMethodStored, EntryMethodStored},
        {2, EntryMethodBlock, EntryMethodBlock},     {3, EntryMethodBlock, EntryMethodBlock},
        {4, EntryMethodStored, EntryMethodLzma},     {5, EntryMethodStored, EntryMethodLzma},
        {6, EntryMethodBlock, EntryMethodUnknown},   {7, EntryMethodBlock, EntryMethodUnknown},
        {8, EntryMethodStored, EntryMethodDelta},    {9, EntryMethodStored, EntryMethodDelta},
        {10, EntryMethodBlock, EntryMethodUnknown},  {12, EntryMethodStored, EntryMethodUnknown},
        {0x10, EntryMethodStored, EntryMethodStored}, {0xF6, EntryMethodBlock, EntryMethodUnknown},
    };
    std::vector<unsigned char> storages;
    for (const Case& c : cases)
        storages.push_back(c.storage);
    for (uint32_t flags : {0u, ArchiveFlagNewMethods}) {
        Bytes image = HandArchive(flags, storages);
        uint32_t blockSize;
        ASSERT_TRUE(ArchiveTableBlockSize((uint32_t)storages.size(), &blockSize));
        // The updater's way (FillArchiveTable) and fa2's (its own table reader) must agree.
        Bytes block(blockSize);
        ASSERT_TRUE(FillArchiveTable((ArchiveTable*)block.data(), blockSize, image.data(), image.size()));
        Bytes copy(image);
        LoadedArchive loaded;
        std::string error;
        ASSERT_TRUE(OpenLoadedArchive(&copy, &loaded, &error)) << error;
        for (size_t i = 0; i < storages.size(); i++) {
            EntryMethod expected = flags ? cases[i].with : cases[i].without;
            const ArchiveEntry* record = &ArchiveTableEntries((ArchiveTable*)block.data())[i];
            EXPECT_EQ(EntryMethodOf(record), expected) << "storage " << (int)cases[i].storage << " flags " << flags;
            EXPECT_EQ(EntryMethodOf(LoadedEntry(loaded, (uint32_t)i)), expected)
                << "fa2: storage " << (int)cases[i].storage << " flags " << flags;
            // Without the flag, every entry reads as the first format says: a stored "x" or a (damaged) block.
            if (!flags && expected == EntryMethodStored) {
                Bytes data;
                EXPECT_TRUE(DecodeLoadedEntry(loaded, (uint32_t)i, &data, &error)) << error;
                EXPECT_EQ(data, Bytes{'x'});
            }
        }
    }
}

TEST(FormatGate, TableFlagsBeyondBitZeroAreReadOnlyUnderTheFlag)
{
    // flags 2 (an LZMA table) on an old archive: no bit the first format reads, so the table is plain.
    Bytes image = HandArchive(ArchiveFlagTableLzma, {1});
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    EXPECT_EQ(ArchiveTableMethod(&header), EntryMethodStored);
    uint32_t blockSize, length;
    ASSERT_TRUE(ArchiveTableBlockSize(1, &blockSize));
    EXPECT_TRUE(LocateArchiveTable(&header, image.size(), &length));
    Bytes block(blockSize);
    EXPECT_TRUE(FillArchiveTable((ArchiveTable*)block.data(), blockSize, image.data(), image.size()));
    // Under the flag the same bytes are an LZMA table, and plain records are no LZMA data.
    header.flags |= ArchiveFlagNewMethods;
    EXPECT_EQ(ArchiveTableMethod(&header), EntryMethodLzma);
    memcpy(image.data(), &header, sizeof header);
    EXPECT_FALSE(FillArchiveTable((ArchiveTable*)block.data(), blockSize, image.data(), image.size()));
    header.flags = ArchiveFlagNewMethods | ArchiveFlagTableLzma | ArchiveFlagTableCompressed;
    EXPECT_EQ(ArchiveTableMethod(&header), EntryMethodUnknown);
}

TEST(FormatGate, WriterSetsTheFlagOnlyForNewMethods)
{
    for (ArchiveCodec codec : {CodecBlock, CodecLzma}) {
        if (codec == CodecLzma && !LzmaEncoderAvailable())
            continue;
        WriterOptions options;
        options.table = PackCompressIfSmaller;
        options.level = EncodeFast;
        options.codec = codec;
        WriterEntry entry = {"a.txt", Bytes(4000, 'q'), 0, PackCompressIfSmaller, 0};
        Bytes archive;
        std::string error;
        ASSERT_TRUE(WriteArchive({entry}, options, &archive, &error)) << error;
        ArchiveHeader header;
        ReadArchiveHeader(archive.data(), &header);
        EXPECT_EQ((header.flags & ArchiveFlagNewMethods) != 0, codec == CodecLzma);
    }
}

// ---- encoder and decoder ----

FILE* TemporaryWith(const Bytes& bytes)
{
    FILE* file = tmpfile();
    if (file && !bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), file);
    fflush(file);
    return file;
}

void PutLe32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

// A delta entry's stored bytes with a stored body, written from the layout the guide gives.
Bytes DeltaStored(uint32_t oldSize, const unsigned char* sha, const Bytes& body, unsigned char method = 1,
                  uint32_t bodySize = 0xFFFFFFFF, unsigned char layout = DeltaLayoutExact)
{
    Bytes stored(DeltaHeaderSize, 0);
    memcpy(stored.data(), "FA2D", 4);
    PutLe32(&stored[4], oldSize);
    if (sha)
        memcpy(&stored[8], sha, 32);
    stored[40] = method;
    stored[42] = layout;
    PutLe32(&stored[44], bodySize == 0xFFFFFFFF ? (uint32_t)body.size() : bodySize);
    stored.insert(stored.end(), body.begin(), body.end());
    return stored;
}

// The body fa2 writes for `now` against `before`, and the old file's SHA-256.
Bytes EncodeBody(const Bytes& before, const Bytes& now, DeltaEncodeResult* result)
{
    FILE* oldFile = TemporaryWith(before);
    FILE* newFile = TemporaryWith(now);
    Bytes body;
    std::string error;
    EXPECT_TRUE(EncodeDelta(oldFile, before.size(), newFile, now.size(), VectorSink(&body), result, &error)) << error;
    fclose(oldFile);
    fclose(newFile);
    EXPECT_EQ(result->bodySize, body.size());
    return body;
}

// The old file as the decoder may read it: every read must lie inside it and within the window.
struct OldBytes {
    const Bytes* bytes;
    size_t reads = 0;
    int outside = 0;
    int failAt = -1;  // the read (counted from 0) that fails, or -1
};

int ReadOldBytes(void* context, uint64_t offset, unsigned char* out, size_t count)
{
    OldBytes* old = (OldBytes*)context;
    if (count == 0 || count > DeltaOldWindow || offset > old->bytes->size() || old->bytes->size() - offset < count) {
        old->outside = 1;
        return 0;
    }
    if ((int)old->reads++ == old->failAt)
        return 0;
    memcpy(out, old->bytes->data() + offset, count);
    return 1;
}

struct Collected {
    Bytes bytes;
    uint32_t limit;
    int overrun = 0;
};

int Collect(void* context, const unsigned char* bytes, size_t count)
{
    Collected* c = (Collected*)context;
    if (count == 0 || c->bytes.size() + count > c->limit) {
        c->overrun = 1;
        return 0;
    }
    c->bytes.insert(c->bytes.end(), bytes, bytes + count);
    return 1;
}

EntryStreamResult Apply(const Bytes& stored, uint32_t newSize, OldBytes* old, Bytes* out, int scramble = 0)
{
    ArchiveEntry entry;
    memset(&entry, 0, sizeof entry);
    entry.storage = EntryStorageDelta;
    entry.scramble = scramble ? EntryScrambled : 0;
    entry.unpackedSize = newSize;
    entry.storedSize = (uint32_t)stored.size();
    Bytes bytes(stored);
    if (scramble)
        DescrambleEntry(bytes.data(), (uint32_t)bytes.size());
    size_t size = 0;
    if (!CheckEntryData(&entry, 0, bytes.size()) || !DeltaWorkspaceSize(&entry, bytes.data(), &size))
        return EntryStreamDamaged;
    EXPECT_LT(size, (size_t)(1u << 20));  // flat, whatever the files' sizes
    Bytes workspace(size);
    OldFileReader reader = {ReadOldBytes, old};
    Collected collected;
    collected.limit = newSize;
    EntryStreamResult result =
        StreamDeltaEntry(&entry, bytes.data(), &reader, workspace.data(), workspace.size(), Collect, &collected);
    EXPECT_FALSE(collected.overrun);
    EXPECT_FALSE(old->outside);
    out->swap(collected.bytes);
    return result;
}

Bytes Spliced(Bytes bytes, size_t at, size_t removed, const Bytes& inserted)
{
    bytes.erase(bytes.begin() + at, bytes.begin() + at + removed);
    bytes.insert(bytes.begin() + at, inserted.begin(), inserted.end());
    return bytes;
}

struct EditCase {
    const char* name;
    Bytes before, now;
    size_t mostBody;   // the body may not be larger: the matches were found
    size_t mostAdded;  // nor may more new bytes travel than these
};

// `bytes` with one byte in every `every` of [from, to) raised by one: what moving code does to its addresses.
Bytes Nudged(Bytes bytes, size_t from, size_t to, size_t every)
{
    for (size_t i = from; i < to && i < bytes.size(); i += every)
        bytes[i]++;
    return bytes;
}

// Every byte of [from, to) changed.
Bytes Inverted(Bytes bytes, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++)
        bytes[i] ^= 0xFF;
    return bytes;
}

std::vector<EditCase> EditCases()
{
    const size_t size = 1300000;  // past the old window and the body decoder's window, many times
    Bytes base = Noise(size, 1);
    Bytes moved(base);
    Bytes block(moved.begin() + 100000, moved.begin() + 400000);
    moved.erase(moved.begin() + 100000, moved.begin() + 400000);
    moved.insert(moved.begin() + 900000, block.begin(), block.end());
    Bytes twice(base.begin(), base.begin() + 70000);
    twice.insert(twice.end(), base.begin(), base.begin() + 70000);
    const size_t any = (size_t)-1;
    // Exact copies would carry one byte in every 24 after the insert as a new byte.
    Bytes code = Nudged(Spliced(base, 100000, 0, Noise(3000, 9)), 103000, size + 3000, 24);
    return {
        {"insert", base, Spliced(base, 1034567, 0, Noise(7000, 2)), 7000 + 200, 7000},
        {"delete", base, Spliced(base, 800001, 50000, Bytes()), 200, 0},
        {"move", base, moved, 300, 0},
        {"changed middle", base, Spliced(base, size / 2, 20000, Noise(20000, 3)), 20000 + 200, 20000},
        {"many small edits", base, Spliced(Spliced(Spliced(base, 5, 3, Noise(9, 4)), 1000000, 1, Bytes()), 1200000, 0, Noise(1, 5)), 300, 20},
        {"empty old", Bytes(), Noise(5000, 6), 5000 + 10, 5000},
        {"empty new", base, Bytes(), 0, 0},
        {"both empty", Bytes(), Bytes(), 0, 0},
        {"repeated within the new file", Bytes(base.begin(), base.begin() + 70000), twice, 100, 0},
        {"unrelated", Noise(100000, 7), Noise(100000, 8), 100000 + 100, 100000},
        {"addresses moved after an insert", base, code, any, 3000 + 100},
        {"approximate at both ends", base, Nudged(Nudged(base, 0, 40000, 9), size - 40000, size, 9), any, 100},
        {"approximate, old longer", base, Nudged(Bytes(base.begin(), base.begin() + 500000), 0, 500000, 10), any,
         100},
        {"approximate, old shorter", Bytes(base.begin(), base.begin() + 500000),
         Nudged(Spliced(base, 500000, 0, Bytes()), 0, 500000, 10), any, size - 500000 + 100},
        {"every byte of a range differs", base, Inverted(base, 300000, 330000), any, 30000 + 100},
        {"every byte differs", Bytes(base.begin(), base.begin() + 300000), Inverted(Bytes(base.begin(), base.begin() + 300000), 0, 300000), any, 300000},
    };
}

TEST(Delta, RoundTripsAndFindsTheMatches)
{
    for (const EditCase& c : EditCases()) {
        DeltaEncodeResult encoded;
        Bytes body = EncodeBody(c.before, c.now, &encoded);
        EXPECT_LE(body.size(), c.mostBody) << c.name;
        EXPECT_LE(encoded.added, c.mostAdded) << c.name;
        unsigned char sha[Sha256Size];
        Sha256 hash;
        StartSha256(&hash);
        Sha256Update(&hash, c.before.data(), c.before.size());
        FinishSha256(&hash, sha);
        EXPECT_EQ(memcmp(sha, encoded.oldSha256, Sha256Size), 0) << c.name;
        EXPECT_EQ(encoded.copied + encoded.added, c.now.size()) << c.name;
        for (int scramble : {0, 1}) {
            OldBytes old;
            old.bytes = &c.before;
            Bytes out;
            EXPECT_EQ(Apply(DeltaStored((uint32_t)c.before.size(), sha, body, 1, 0xFFFFFFFF, DeltaLayoutApproximate),
                            (uint32_t)c.now.size(), &old, &out, scramble),
                      EntryStreamDone)
                << c.name;
            EXPECT_TRUE(out == c.now) << c.name << " scramble " << scramble;
        }
    }
}

// A command stream by hand.
struct Body {
    Bytes bytes;
    Body& Byte(unsigned char b)
    {
        bytes.push_back(b);
        return *this;
    }
    Body& Varint(uint64_t v)
    {
        do {
            bytes.push_back((unsigned char)((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            v >>= 7;
        } while (v);
        return *this;
    }
    Body& Bytes6()
    {
        for (int i = 0; i < 5; i++)
            Byte(0x81);
        return Byte(0x01);
    }
    Body& Add(const std::string& text)
    {
        Byte(DeltaCommandAdd).Varint(text.size());
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    Body& Copy(uint64_t length, int64_t distance)
    {
        return Byte(DeltaCommandCopy).Varint(length).Varint(((uint64_t)distance << 1) ^ (uint64_t)(distance >> 63));
    }
};

TEST(Delta, HostileDeltasAreRefusedWithoutReadingOutside)
{
    Bytes before = Noise(1000, 9);
    struct Case {
        const char* name;
        Bytes stored;
        uint32_t newSize;
    } cases[] = {
        {"copy past the old end", DeltaStored(1000, nullptr, Body().Copy(10, 995).bytes), 10},
        {"copy from before the start", DeltaStored(1000, nullptr, Body().Copy(10, 20).Copy(10, -31).bytes), 20},
        {"copy longer than the output", DeltaStored(1000, nullptr, Body().Copy(11, 0).bytes), 10},
        {"add longer than the output", DeltaStored(1000, nullptr, Body().Add("abcdef").bytes), 5},
        {"output short", DeltaStored(1000, nullptr, Body().Add("abc").bytes), 4},
        {"bytes after the last command", DeltaStored(1000, nullptr, Body().Add("abc").Add("d").bytes), 3},
        {"add cut short", DeltaStored(1000, nullptr, Body().Byte(1).Varint(10).Byte('x').bytes), 10},
        {"varint cut short", DeltaStored(1000, nullptr, Body().Byte(2).Byte(0x85).bytes), 5},
        {"copy without distance", DeltaStored(1000, nullptr, Body().Byte(2).Varint(5).bytes), 5},
        {"six-byte varint", DeltaStored(1000, nullptr, Body().Byte(2).Bytes6().bytes), 5},
        {"length of 4 GiB", DeltaStored(1000, nullptr, Body().Byte(1).Varint(0x100000000ull).bytes), 0xFFFFFFFF},
        {"distance past 2^34", DeltaStored(1000, nullptr, Body().Byte(2).Varint(5).Varint(0x7FFFFFFFFull).bytes), 5},
        {"zero length", DeltaStored(1000, nullptr, Body().Byte(1).Varint(0).Add("a").bytes), 1},
        {"unknown command", DeltaStored(1000, nullptr, Body().Byte(3).Varint(1).bytes), 1},
        {"body shorter than its size", DeltaStored(1000, nullptr, Body().Add("abc").bytes, 1, 9), 3},
        {"body longer than its size", DeltaStored(1000, nullptr, Body().Add("abc").bytes, 1, 2), 3},
        {"unknown body method", DeltaStored(1000, nullptr, Body().Add("abc").bytes, 3), 3},
        {"block body of junk", DeltaStored(1000, nullptr, Noise(200, 10), 2, 5000), 100},
        {"LZMA body of junk", DeltaStored(1000, nullptr, Noise(200, 11), 4, 5000), 100},
        {"header cut", [] { Bytes b = DeltaStored(1000, nullptr, Bytes()); b.pop_back(); return b; }(), 0},
        {"no mark", [] { Bytes b = DeltaStored(1000, nullptr, Body().Add("a").bytes); b[0] = 'X'; return b; }(), 1},
        {"reserved bits", [] { Bytes b = DeltaStored(1000, nullptr, Body().Add("a").bytes); b[41] = 2; return b; }(), 1},
    };
    for (const Case& c : cases) {
        for (int scramble : {0, 1}) {
            OldBytes old;
            old.bytes = &before;
            Bytes out;
            EXPECT_EQ(Apply(c.stored, c.newSize, &old, &out, scramble), EntryStreamDamaged) << c.name;
        }
    }
    // And the smallest honest deltas pass, so the refusals above are the cases' own.
    OldBytes old;
    old.bytes = &before;
    Bytes out;
    EXPECT_EQ(Apply(DeltaStored(1000, nullptr, Body().Copy(10, 990).Add("ab").Copy(5, -1000).bytes), 17, &old, &out),
              EntryStreamDone);
    Bytes expected(before.begin() + 990, before.end());
    expected.push_back('a');
    expected.push_back('b');
    expected.insert(expected.end(), before.begin(), before.begin() + 5);
    EXPECT_EQ(out, expected);
}

// A layout 1 body by hand.
struct Blocks {
    Bytes bytes;
    Blocks& Number(uint64_t v)
    {
        do {
            bytes.push_back((unsigned char)((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            v >>= 7;
        } while (v);
        return *this;
    }
    Blocks& Block(uint64_t output, uint64_t commands) { return Number(output).Number(commands); }
    Blocks& Command(uint64_t copy, int difference, int64_t distance, uint64_t add)
    {
        Number(copy << 1 | (uint64_t)difference);
        if (copy)
            Number(((uint64_t)distance << 1) ^ (uint64_t)(distance >> 63));
        return Number(add);
    }
    Blocks& Raw(const Bytes& more)
    {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    Blocks& Raw(const std::string& text) { return Raw(Bytes(text.begin(), text.end())); }
};

Bytes ApproximateStored(const Blocks& body) { return DeltaStored(1000, nullptr, body.bytes, 1, 0xFFFFFFFF, 1); }

TEST(Delta, ApproximateCopiesReadAsTheGuideSays)
{
    Bytes before = Noise(1000, 21);
    // Each command's copy then its new bytes; differences and new bytes each in command order; distances from
    // where the previous copy ended, across blocks.
    Blocks body;
    body.Block(13, 3).Command(4, 1, 990, 2).Command(0, 0, 0, 3).Command(4, 0, -994, 0);
    body.Raw(Bytes{1, 0, 0xFF, 0x80}).Raw("ab").Raw("cde");
    body.Block(3, 1).Command(3, 0, 10, 0);
    Bytes expected = {(unsigned char)(before[990] + 1), before[991], (unsigned char)(before[992] - 1),
                      (unsigned char)(before[993] + 0x80), 'a', 'b', 'c', 'd', 'e'};
    expected.insert(expected.end(), before.begin(), before.begin() + 4);
    expected.insert(expected.end(), before.begin() + 14, before.begin() + 17);
    for (int scramble : {0, 1}) {
        OldBytes old;
        old.bytes = &before;
        Bytes out;
        EXPECT_EQ(Apply(ApproximateStored(body), 16, &old, &out, scramble), EntryStreamDone);
        EXPECT_EQ(out, expected);
    }
}

TEST(Delta, HostileApproximateBodiesAreRefusedWithoutReadingOutside)
{
    Bytes before = Noise(1000, 22);
    const uint32_t most = DeltaBlockOutputMost;
    Blocks good;
    good.Block(4, 1).Command(2, 1, 0, 2).Raw(Bytes{1, 2}).Raw("ab");
    struct Case {
        const char* name;
        Blocks body;
        uint32_t newSize;
    } cases[] = {
        {"block of nothing", Blocks().Block(0, 1).Command(0, 0, 0, 1).Raw("a"), 1},
        {"block past the most", Blocks().Block(most + 1, 1).Command(0, 0, 0, most + 1), most + 1},
        {"block past the file", Blocks().Block(5, 1).Command(0, 0, 0, 5).Raw("abcde"), 4},
        {"no commands", Blocks().Block(1, 0), 1},
        {"too many commands", Blocks().Block(5000, DeltaBlockCommandsMost + 1), 5000},
        {"command of nothing", Blocks().Block(1, 2).Command(0, 0, 0, 0).Command(0, 0, 0, 1).Raw("a"), 1},
        {"difference without a copy", Blocks().Block(1, 1).Command(0, 1, 0, 1).Raw("a"), 1},
        {"copy past the old end", Blocks().Block(10, 1).Command(10, 0, 995, 0), 10},
        {"copy before the start", Blocks().Block(20, 2).Command(10, 0, 20, 0).Command(10, 0, -31, 0), 20},
        {"commands short of the block", Blocks().Block(5, 1).Command(3, 0, 0, 0), 5},
        {"commands past the block", Blocks().Block(5, 1).Command(3, 0, 0, 3).Raw("abc"), 6},
        {"differences shorter than their copies", Blocks().Block(4, 1).Command(4, 1, 0, 0).Raw(Bytes{1, 2}), 4},
        {"new bytes cut short", Blocks().Block(4, 1).Command(0, 0, 0, 4).Raw("ab"), 4},
        {"blocks short of the file", good, 5},
        {"bytes after the last block", Blocks(good).Raw(Bytes{1}), 4},
        {"block header cut", Blocks(good).Number(3), 7},
        {"block header cut inside its first number", Blocks(good).Raw(Bytes{0x83}), 4},
        {"nothing but a cut number", Blocks().Raw(Bytes{0xBF}), 0},
        {"six-byte varint", Blocks().Raw(Bytes{0x81, 0x81, 0x81, 0x81, 0x81, 0x01}), 1},
        {"distance past 2^34", Blocks().Block(5, 1).Number(10).Number(0x7FFFFFFFFull).Number(0), 5},
    };
    for (const Case& c : cases) {
        for (int scramble : {0, 1}) {
            OldBytes old;
            old.bytes = &before;
            Bytes out;
            EXPECT_EQ(Apply(ApproximateStored(c.body), c.newSize, &old, &out, scramble), EntryStreamDamaged) << c.name;
        }
    }
    OldBytes old;
    old.bytes = &before;
    Bytes out;
    EXPECT_EQ(Apply(ApproximateStored(good), 4, &old, &out), EntryStreamDone);
    EXPECT_EQ(out, (Bytes{(unsigned char)(before[0] + 1), (unsigned char)(before[1] + 2), 'a', 'b'}));
    // A layout this reader does not know is refused before anything is read.
    Bytes later = ApproximateStored(good);
    later[42] = 2;
    EXPECT_EQ(Apply(later, 4, &old, &out), EntryStreamDamaged);
    EXPECT_EQ(old.reads, 1u);
}

TEST(Delta, AFailedOldReadIsItsOwnResult)
{
    Bytes before = Noise(200000, 12), out;
    Body body;
    body.Copy(150000, 0).Copy(50000, 0);
    for (int failAt : {0, 1, 3}) {
        OldBytes old;
        old.bytes = &before;
        old.failAt = failAt;
        EXPECT_EQ(Apply(DeltaStored(200000, nullptr, body.bytes), 200000, &old, &out), EntryStreamOldUnreadable)
            << failAt;
    }
}

TEST(Delta, OldFileCheckReadsInPiecesAndComparesSizeFirst)
{
    Bytes before = Noise(100000, 13);
    unsigned char sha[Sha256Size];
    Sha256 hash;
    StartSha256(&hash);
    Sha256Update(&hash, before.data(), before.size());
    FinishSha256(&hash, sha);
    ArchiveEntry entry;
    memset(&entry, 0, sizeof entry);
    entry.storage = EntryStorageDelta;
    Bytes stored = DeltaStored((uint32_t)before.size(), sha, Bytes());
    entry.storedSize = (uint32_t)stored.size();
    DeltaBase base;
    ASSERT_TRUE(ReadDeltaBase(&entry, stored.data(), &base));
    EXPECT_EQ(base.oldSize, before.size());
    Bytes buffer(4096);
    OldBytes old;
    old.bytes = &before;
    OldFileReader reader = {ReadOldBytes, &old};
    EXPECT_EQ(CheckDeltaOldFile(&base, before.size(), &reader, buffer.data(), buffer.size()), OldFileMatches);
    EXPECT_EQ(old.reads, (before.size() + 4095) / 4096);
    old.reads = 0;
    EXPECT_EQ(CheckDeltaOldFile(&base, before.size() + 1, &reader, buffer.data(), buffer.size()), OldFileDiffers);
    EXPECT_EQ(old.reads, 0u);
    Bytes changed(before);
    changed[77777] ^= 1;
    old.bytes = &changed;
    EXPECT_EQ(CheckDeltaOldFile(&base, changed.size(), &reader, buffer.data(), buffer.size()), OldFileDiffers);
    old.failAt = 5;
    old.reads = 0;
    EXPECT_EQ(CheckDeltaOldFile(&base, changed.size(), &reader, buffer.data(), buffer.size()), OldFileUnreadable);
    // A scrambled entry's header reads the same once descrambled.
    entry.scramble = EntryScrambled;
    DescrambleEntry(stored.data(), (uint32_t)stored.size());
    DeltaBase scrambled;
    ASSERT_TRUE(ReadDeltaBase(&entry, stored.data(), &scrambled));
    EXPECT_EQ(memcmp(scrambled.oldSha256, sha, Sha256Size), 0);
}

// ---- through the archive writer and reader ----

struct Files {
    std::string dir;
    Files()
    {
        char pattern[] = "/tmp/delta_test.XXXXXX";
        dir = mkdtemp(pattern);
    }
    ~Files() { fs::remove_all(dir); }
    std::string Put(const std::string& name, const Bytes& bytes) const
    {
        std::string path = dir + "/" + name, error;
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(WriteWholeFile(path, bytes.data(), bytes.size(), &error)) << error;
        return path;
    }
};

// One file as a delta against `oldPath` into an archive of its own; the sums of its entries in `sums`.
Bytes DeltaArchive(ArchiveCodec codec, PackMode table, const std::string& newPath, const std::string& oldPath,
                   int scramble, int withWhole, DeltaOutcome* outcome, std::vector<uint32_t>* sums)
{
    WriterOptions options;
    options.table = table;
    options.level = EncodeFast;
    options.codec = codec;
    options.scratch = tmpfile();
    options.deltaBody = tmpfile();
    options.deltaStored = tmpfile();
    Bytes archive;
    ArchiveWriter writer;
    std::string error;
    EXPECT_TRUE(StartArchive(&writer, VectorSink(&archive), options));
    std::vector<std::string> bases;
    EXPECT_TRUE(AddArchiveDelta(&writer, "data.pak", newPath, {oldPath}, 0, scramble, withWhole, outcome, &bases,
                                &error))
        << error;
    EXPECT_TRUE(FinishArchive(&writer, &error)) << error;
    for (FILE* f : {options.scratch, options.deltaBody, options.deltaStored})
        fclose(f);
    *sums = writer.sums;
    return archive;
}

TEST(Delta, ArchiveEntriesForEveryCodecWithAndWithoutTheWholeFile)
{
    Files files;
    Bytes before = Noise(1u << 20, 14);
    Bytes inserted;
    for (int i = 0; inserted.size() < 9000; i++) {
        std::string line = "record " + std::to_string(i * 7919 % 1000) + ": new asset data\r\n";
        inserted.insert(inserted.end(), line.begin(), line.end());
    }
    Bytes now = Spliced(before, 300000, 4000, inserted);  // new bytes that compress: the body gets the codec
    std::string oldPath = files.Put("old.pak", before), newPath = files.Put("new.pak", now);
    for (ArchiveCodec codec : {CodecBlock, CodecLzma}) {
        if (codec == CodecLzma && !LzmaEncoderAvailable())
            continue;
        for (int withWhole : {0, 1}) {
            for (int scramble : {0, 1}) {
                DeltaOutcome outcome;
                std::vector<uint32_t> sums;
                Bytes archive = DeltaArchive(codec, PackCompressIfSmaller, newPath, oldPath, scramble, withWhole,
                                             &outcome, &sums);
                std::string error;
                EXPECT_EQ(outcome, DeltaWritten);
                LoadedArchive loaded;
                ASSERT_TRUE(OpenLoadedArchive(&archive, &loaded, &error)) << error;
                ASSERT_EQ(LoadedEntryCount(loaded), withWhole ? 2u : 1u);
                EXPECT_TRUE(LoadedTable(loaded)->header.flags & ArchiveFlagNewMethods);
                const ArchiveEntry* delta = LoadedEntry(loaded, 0);
                EXPECT_EQ(EntryMethodOf(delta), EntryMethodDelta);
                EXPECT_LT(delta->storedSize, 9000u + 1000u);
                DeltaBase base;
                ASSERT_TRUE(LoadedDeltaBase(loaded, 0, &base));
                EXPECT_EQ(base.bodyMethod, codec == CodecLzma ? EntryMethodLzma : EntryMethodBlock);
                EXPECT_EQ(base.hasWhole, withWhole);
                const ArchiveEntry* whole;
                uint64_t offset;
                EXPECT_EQ(FindWholeFallback(LoadedTable(loaded), delta, &whole, &offset), withWhole);
                if (withWhole) {
                    EXPECT_EQ(offset, loaded.dataOffsets[1]);
                }
                EXPECT_EQ(CheckOldFile(loaded, 0, oldPath), "");
                EXPECT_NE(CheckOldFile(loaded, 0, newPath), "");
                OldFileInput old;
                ASSERT_TRUE(OpenOldFile(oldPath, &old, &error));
                OldFileReader reader = OldFileReaderOf(&old);
                Bytes out;
                uint32_t sum;
                Collected collected;
                collected.limit = (uint32_t)now.size();
                ASSERT_TRUE(StreamLoadedEntry(loaded, 0, Collect, &collected, &sum, &error, &reader)) << error;
                EXPECT_TRUE(collected.bytes == now);
                EXPECT_EQ(sum, sums[0]);
                // Without a reader a delta is refused, never decoded from nothing.
                EXPECT_FALSE(StreamLoadedEntry(loaded, 0, Collect, &collected, &sum, &error));
            }
        }
    }
}

// Several old releases: one delta per distinct old file (a copy of one is not another), each rebuilding the new
// file from its own base, the whole file after them when asked or when some release's delta was not smaller.
TEST(Delta, OneDeltaPerDistinctOldFileThenTheWholeFile)
{
    Files files;
    Bytes a = Noise(400000, 31);
    Bytes b = Spliced(Spliced(a, 1000, 0, Noise(3000, 32)), 200000, 5000, Bytes());
    Bytes now = Spliced(Spliced(a, 300000, 0, Noise(2000, 33)), 50000, 100, Noise(100, 34));
    std::string pathA = files.Put("a/data.pak", a), pathB = files.Put("b/data.pak", b),
                copyOfA = files.Put("c/data.pak", a), unrelated = files.Put("d/data.pak", Noise(400000, 35)),
                newPath = files.Put("new/data.pak", now);
    struct Case {
        const char* name;
        std::vector<std::string> olds;
        int withWhole;
        std::vector<std::string> bases;  // of the records written
    } cases[] = {
        {"two releases and a copy", {pathA, pathB, copyOfA}, 0, {pathA, pathB}},
        {"with the whole file", {pathA, pathB, copyOfA}, 1, {pathA, pathB, ""}},
        {"one release's delta not smaller", {pathA, unrelated}, 0, {pathA, ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriterOptions options;
        options.table = PackCompressIfSmaller;
        options.level = EncodeFast;
        options.scratch = tmpfile();
        options.deltaBody = tmpfile();
        options.deltaStored = tmpfile();
        Bytes archive;
        ArchiveWriter writer;
        std::string error;
        DeltaOutcome outcome;
        std::vector<std::string> bases;
        ASSERT_TRUE(StartArchive(&writer, VectorSink(&archive), options));
        ASSERT_TRUE(AddArchiveDelta(&writer, "data.pak", newPath, c.olds, 0, 0, c.withWhole, &outcome, &bases, &error))
            << error;
        ASSERT_TRUE(FinishArchive(&writer, &error)) << error;
        for (FILE* f : {options.scratch, options.deltaBody, options.deltaStored})
            fclose(f);
        EXPECT_EQ(outcome, DeltaWritten);
        EXPECT_EQ(bases, c.bases);
        LoadedArchive loaded;
        ASSERT_TRUE(OpenLoadedArchive(&archive, &loaded, &error)) << error;
        ASSERT_EQ(LoadedEntryCount(loaded), c.bases.size());
        const ArchiveTable* table = LoadedTable(loaded);
        const ArchiveEntry* first = LoadedEntry(loaded, 0);
        size_t deltas = std::count_if(c.bases.begin(), c.bases.end(), [](const std::string& p) { return !p.empty(); });
        EXPECT_EQ(DeltaRunLength(table, first), deltas);
        const ArchiveEntry* whole = nullptr;
        uint64_t offset = 0;
        int hasWhole = c.bases.back().empty();
        ASSERT_EQ(FindWholeFallback(table, first, &whole, &offset), hasWhole);
        if (hasWhole) {
            EXPECT_EQ(whole, LoadedEntry(loaded, (uint32_t)deltas));
            EXPECT_EQ(offset, loaded.dataOffsets[deltas]);
        }
        for (uint32_t i = 0; i < deltas; i++) {
            DeltaBase base;
            ASSERT_TRUE(LoadedDeltaBase(loaded, i, &base));
            EXPECT_EQ(base.hasWhole, hasWhole);
            EXPECT_EQ(CheckOldFile(loaded, i, c.bases[i]), "");
            for (uint32_t j = 0; j < deltas; j++) {
                if (j != i) {
                    EXPECT_NE(CheckOldFile(loaded, i, c.bases[j]), "") << "delta " << i << " over base " << j;
                }
            }
            OldFileInput old;
            ASSERT_TRUE(OpenOldFile(c.bases[i], &old, &error));
            OldFileReader reader = OldFileReaderOf(&old);
            Collected collected;
            collected.limit = (uint32_t)now.size();
            uint32_t sum;
            ASSERT_TRUE(StreamLoadedEntry(loaded, i, Collect, &collected, &sum, &error, &reader)) << error;
            EXPECT_TRUE(collected.bytes == now) << "delta " << i;
            EXPECT_EQ(sum, writer.sums[i]);
        }
    }
}

TEST(Delta, ANotSmallerDeltaLeavesTheWholeEntry)
{
    Files files;
    Bytes text(200000);
    for (size_t i = 0; i < text.size(); i++)
        text[i] = "the quick brown fox "[i % 20];
    std::string oldPath = files.Put("old.txt", Noise(200000, 16)), newPath = files.Put("new.txt", text);
    DeltaOutcome outcome;
    std::vector<uint32_t> sums;
    Bytes archive = DeltaArchive(CodecBlock, PackStore, newPath, oldPath, 0, 1, &outcome, &sums);
    std::string error;
    EXPECT_EQ(outcome, DeltaNotSmaller);
    LoadedArchive loaded;
    ASSERT_TRUE(OpenLoadedArchive(&archive, &loaded, &error));
    ASSERT_EQ(LoadedEntryCount(loaded), 1u);
    EXPECT_EQ(EntryMethodOf(LoadedEntry(loaded, 0)), EntryMethodBlock);
    EXPECT_FALSE(LoadedTable(loaded)->header.flags & ArchiveFlagNewMethods);
}

}  // namespace
