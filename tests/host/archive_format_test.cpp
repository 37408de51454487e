#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive_writer.h"
#include "block_encoder.h"
#include "lzma_encoder.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Noise(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (unsigned char& b : bytes)
        b = (unsigned char)random();
    return bytes;
}

Bytes Hex(const char* hex)
{
    Bytes bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes.push_back((unsigned char)std::stoi(std::string(hex + i, 2), nullptr, 16));
    return bytes;
}

WriterEntry Entry(const std::string& name, const Bytes& data, PackMode storage = PackStore, int scramble = 0,
                  uint64_t fileTime = 0x01D5A1B2C3D4E5F6ull)
{
    WriterEntry entry;
    entry.name = name;
    entry.data = data;
    entry.fileTime = fileTime;
    entry.storage = storage;
    entry.scramble = scramble;
    return entry;
}

Bytes Write(const std::vector<WriterEntry>& entries, PackMode table = PackStore)
{
    WriterOptions options;
    options.table = table;
    options.level = EncodeDefault;
    Bytes archive;
    std::string error;
    EXPECT_EQ(WriteArchive(entries, options, &archive, &error), 1) << error;
    return archive;
}

// The table block as the updater would hold it; empty when the image is refused.
Bytes Open(const Bytes& image)
{
    if (image.size() < ArchiveHeaderSize)
        return Bytes();
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    // Placing the table first keeps a hostile count from costing a huge block.
    uint32_t blockSize, tableLength;
    if (!ArchiveTableBlockSize(header.entryCount, &blockSize) ||
        !LocateArchiveTable(&header, image.size(), &tableLength))
        return Bytes();
    Bytes block(blockSize);
    if (!FillArchiveTable(reinterpret_cast<ArchiveTable*>(block.data()), blockSize, image.data(), image.size()))
        return Bytes();
    return block;
}

const ArchiveTable* Table(const Bytes& block) { return reinterpret_cast<const ArchiveTable*>(block.data()); }

// Looks the name up and decodes its entry from the image; `ok` is 0 when either step refuses.
Bytes Decode(const Bytes& image, const Bytes& block, const char* name, int* ok)
{
    const ArchiveEntry* entry;
    uint64_t offset;
    *ok = 0;
    if (!FindArchiveEntry(Table(block), name, &entry, &offset) || !CheckEntryData(entry, offset, image.size()))
        return Bytes();
    Bytes copy(EntryNeedsCopy(entry) ? entry->storedSize : 0);
    Bytes decoded(EntryNeedsDecoding(entry) ? entry->unpackedSize : 0);
    const unsigned char* data = DecodeEntryData(entry, image.data() + offset, copy.data(), decoded.data());
    if (!data)
        return Bytes();
    *ok = 1;
    return Bytes(data, data + entry->unpackedSize);
}

void PutU32(Bytes* bytes, size_t at, uint32_t value) { memcpy(bytes->data() + at, &value, 4); }

// ---- DescrambleEntry ----

TEST(DescrambleEntry, KnownKeyStreams)
{
    // Zero buffers show the key stream itself. Length 32 takes a rotation by 0 (not by 32).
    struct Case {
        size_t length;
        const char* expected;
    } cases[] = {
        {4, "9a1ec772"},
        {5, "4d8f633100"},
        {8, "e9712cab9a1ec7b2"},
        {32, "83e9712c32981ec72c83e971c732981e712c83e91ec73298e9712c83981ec732"},
        {33, "c1f438168e45303d4c8f63115804d3e3f43816c145303d8e8f63114c04d3e35800"},
    };
    for (const Case& c : cases) {
        Bytes buffer(c.length, 0);
        DescrambleEntry(buffer.data(), (uint32_t)c.length);
        EXPECT_EQ(buffer, Hex(c.expected)) << "length " << c.length;
    }
}

TEST(DescrambleEntry, ShortLengthsAndTailBytesStay)
{
    for (uint32_t length = 0; length <= 5; length++) {
        Bytes original = Noise(8, length);
        Bytes buffer = original;
        DescrambleEntry(buffer.data(), length);
        uint32_t changedUpTo = length / 4 * 4;
        for (uint32_t i = 0; i < 8; i++) {
            if (i < changedUpTo)
                continue;
            EXPECT_EQ(buffer[i], original[i]) << "length " << length << " byte " << i;
        }
        if (length >= 4) {
            EXPECT_NE(Bytes(buffer.begin(), buffer.begin() + 4), Bytes(original.begin(), original.begin() + 4));
        }
    }
}

TEST(DescrambleEntry, IsItsOwnInverse)
{
    for (uint32_t length : {0u, 1u, 3u, 4u, 5u, 31u, 32u, 33u, 64u, 255u, 256u, 1000u, 4099u}) {
        Bytes original = Noise(length, 77 + length);
        Bytes buffer = original;
        DescrambleEntry(buffer.data(), length);
        if (length >= 4) {
            EXPECT_NE(buffer, original) << length;
        }
        DescrambleEntry(buffer.data(), length);
        EXPECT_EQ(buffer, original) << length;
    }
}

// ---- Round trips through the writer ----

struct RoundTripCase {
    const char* label;
    PackMode storage;
    int scramble;
    PackMode table;
};

class ArchiveRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(ArchiveRoundTrip, EveryEntryComesBackWithItsRecord)
{
    const RoundTripCase& c = GetParam();
    std::vector<WriterEntry> entries = {
        Entry("UPDATE.INI", Text("[SETUP]\r\nCompanyName=Q\r\n[UPDATE]\r\nUpdateFile00=0,a.dat\r\n"), c.storage,
              c.scramble, 0x01D0000000000001ull),
        Entry("empty.txt", Bytes(), c.storage, c.scramble, 0),
        Entry("one.bin", Text("x"), c.storage, c.scramble, 0xFFFFFFFFFFFFFFFFull),
        Entry("seventeen", Text("abcdefghijklmnopq"), c.storage, c.scramble),
        Entry("\x95\x5c\x8e\xa6.txt", Text(std::string(3000, 'z') + "tail"), c.storage, c.scramble),
        Entry("noise.bin", Noise(5001, 3), c.storage, c.scramble),
    };
    Bytes image = Write(entries, c.table);
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    EXPECT_TRUE(HasArchiveMagic(&header));
    EXPECT_EQ(memcmp(image.data(), "FA2\0", 4), 0);
    EXPECT_EQ(header.entryCount, entries.size());
    EXPECT_EQ(header.flags & ArchiveFlagTableCompressed, c.table == PackStore ? 0u : 1u);

    Bytes block = Open(image);
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(memcmp(block.data(), image.data(), ArchiveHeaderSize), 0) << "header copied into the table";

    uint64_t expectedOffset = ArchiveHeaderSize;
    for (const WriterEntry& source : entries) {
        const ArchiveEntry* record;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(Table(block), source.name.c_str(), &record, &offset)) << source.name;
        EXPECT_EQ(offset, expectedOffset) << source.name;
        EXPECT_EQ(record->unpackedSize, source.data.size());
        EXPECT_EQ(FileTimeValue(record->fileTime), source.fileTime);
        EXPECT_EQ(record->scramble, c.scramble ? 1 : 0);
        if (c.storage == PackStore) {
            EXPECT_EQ(record->storage, EntryStorageStored);
        }
        if (c.storage == PackCompressAlways) {
            EXPECT_EQ(record->storage, EntryStorageCompressed);
        }
        if (record->storage == EntryStorageStored && !c.scramble && !source.data.empty()) {
            EXPECT_EQ(memcmp(image.data() + offset, source.data.data(), source.data.size()), 0);
        }
        if ((record->storage == EntryStorageCompressed || c.scramble) && source.data.size() >= 4) {
            EXPECT_NE(memcmp(image.data() + offset, source.data.data(), 4), 0) << "stored bytes not transformed";
        }
        // Fill bytes up to the next multiple of 16 are zero.
        for (uint64_t i = offset + record->storedSize; i < offset + PaddedStoredSize(record->storedSize); i++)
            EXPECT_EQ(image[i], 0) << source.name;
        expectedOffset += PaddedStoredSize(record->storedSize);

        int ok;
        EXPECT_EQ(Decode(image, block, source.name.c_str(), &ok), source.data) << source.name;
        EXPECT_EQ(ok, 1) << source.name;
    }
    EXPECT_EQ(header.tableOffset, expectedOffset) << "table right behind the last entry";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ArchiveRoundTrip,
    testing::Values(RoundTripCase{"Stored", PackStore, 0, PackStore},
                    RoundTripCase{"Compressed", PackCompressAlways, 0, PackStore},
                    RoundTripCase{"Scrambled", PackStore, 1, PackStore},
                    RoundTripCase{"CompressedScrambled", PackCompressAlways, 1, PackStore},
                    RoundTripCase{"StoredCompressedTable", PackStore, 0, PackCompressAlways},
                    RoundTripCase{"CompressedScrambledCompressedTable", PackCompressAlways, 1, PackCompressAlways},
                    RoundTripCase{"WhereItHelps", PackCompressIfSmaller, 0, PackCompressIfSmaller}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return std::string(info.param.label); });

TEST(ArchiveWriter, CompressesOnlyWhereItGetsSmaller)
{
    Bytes image = Write({Entry("text", Text(std::string(4000, 'a')), PackCompressIfSmaller),
                         Entry("noise", Noise(4000, 9), PackCompressIfSmaller)},
                        PackCompressIfSmaller);
    Bytes block = Open(image);
    ASSERT_FALSE(block.empty());
    const ArchiveEntry* records = ArchiveTableEntries(Table(block));
    EXPECT_EQ(records[0].storage, EntryStorageCompressed);
    EXPECT_LT(records[0].storedSize, 100u);
    EXPECT_EQ(records[1].storage, EntryStorageStored);
    EXPECT_EQ(records[1].storedSize, 4000u);
    EXPECT_EQ(Table(block)->header.flags, ArchiveFlagTableCompressed) << "560 mostly-zero bytes compress";

    // An empty table would grow when compressed, so it stays plain unless forced.
    Bytes empty = Write({}, PackCompressIfSmaller);
    EXPECT_EQ(empty.size(), ArchiveHeaderSize);
    ArchiveHeader header;
    ReadArchiveHeader(empty.data(), &header);
    EXPECT_EQ(header.flags, 0u);
    EXPECT_EQ(header.tableOffset, 16u);
}

TEST(ArchiveWriter, RefusesBadNames)
{
    WriterOptions options = {PackStore, EncodeDefault};
    Bytes out;
    std::string error;
    EXPECT_EQ(WriteArchive({Entry(std::string(259, 'n'), Text("ok"))}, options, &out, &error), 1) << error;
    for (const std::string& name : {std::string(260, 'n'), std::string(), std::string("a\0b", 3)}) {
        error.clear();
        EXPECT_EQ(WriteArchive({Entry(name, Text("x"))}, options, &out, &error), 0) << name.size();
        EXPECT_FALSE(error.empty());
    }
}

// ---- Lookup ----

// A table block built by hand: records with the given names and stored sizes.
Bytes HandTable(const std::vector<std::pair<std::string, uint32_t>>& records)
{
    Bytes block(ArchiveHeaderSize + records.size() * ArchiveEntrySize, 0);
    ArchiveHeader header = {ArchiveMagic, 0, 0, (uint32_t)records.size()};
    memcpy(block.data(), &header, sizeof header);
    for (size_t i = 0; i < records.size(); i++) {
        ArchiveEntry entry;
        memset(&entry, 0, sizeof entry);
        memcpy(entry.name, records[i].first.data(), std::min<size_t>(records[i].first.size(), ArchiveNameSize));
        entry.storage = EntryStorageStored;
        entry.storedSize = entry.unpackedSize = records[i].second;
        memcpy(block.data() + ArchiveHeaderSize + i * ArchiveEntrySize, &entry, sizeof entry);
    }
    return block;
}

// Index of the record the lookup finds, -1 for none.
int Found(const Bytes& block, const std::string& name, uint64_t* offset = nullptr)
{
    const ArchiveEntry* entry;
    uint64_t at;
    if (!FindArchiveEntry(Table(block), name.c_str(), &entry, &at))
        return -1;
    if (offset)
        *offset = at;
    return (int)(entry - ArchiveTableEntries(Table(block)));
}

TEST(FindArchiveEntry, FoldsAsciiCaseAndTakesTheFirstMatch)
{
    Bytes block = HandTable({{"UPDATE.INI", 5}, {"Data.Bin", 1}, {"data.bin", 1}, {"x", 0}});
    EXPECT_EQ(Found(block, "update.ini"), 0);
    EXPECT_EQ(Found(block, "UPDATE.INI"), 0);
    EXPECT_EQ(Found(block, "DATA.BIN"), 1);
    EXPECT_EQ(Found(block, "data.bin"), 1);
    EXPECT_EQ(Found(block, "UPDATE.IN"), -1);
    EXPECT_EQ(Found(block, "UPDATE.INI "), -1);
    EXPECT_EQ(Found(block, "UPDATE_INI"), -1);
    EXPECT_EQ(Found(block, "@"), -1) << "'@' is not a letter of 'x'";
    EXPECT_EQ(Found(HandTable({}), "UPDATE.INI"), -1) << "an empty table finds nothing";
}

TEST(FindArchiveEntry, NeverFoldsATrailByte)
{
    // ア is 83 41 and ヂ is 83 61: the second bytes differ only as 'A' and 'a' would.
    Bytes block = HandTable({{"\x83\x61.txt", 1}, {"\x83\x41.txt", 1}, {"\xb1" "a", 1}, {"\x95\x5c" "a", 1}});
    EXPECT_EQ(Found(block, "\x83\x41.txt"), 1);
    EXPECT_EQ(Found(block, "\x83\x61.txt"), 0);
    EXPECT_EQ(Found(block, "\x83\x41.TXT"), 1);
    // Half-width ｱ (B1) is a single-byte character: the letter after it folds.
    EXPECT_EQ(Found(block, "\xb1" "A"), 2);
    // After 表 (95 5C) the letter folds again; the 5C itself is not a separator or a letter.
    EXPECT_EQ(Found(block, "\x95\x5c" "A"), 3);
}

TEST(FindArchiveEntry, NameFillingAllItsBytesIsComparedWithinThem)
{
    std::string full(ArchiveNameSize, 'N');
    std::string endsInLead(ArchiveNameSize - 1, 'L');
    endsInLead += '\x83';  // a lead byte in the last place, its trail cut off
    Bytes block = HandTable({{full, 1}, {endsInLead, 1}});
    EXPECT_EQ(Found(block, full), 0);
    EXPECT_EQ(Found(block, std::string(ArchiveNameSize, 'n')), 0);
    EXPECT_EQ(Found(block, full.substr(0, ArchiveNameSize - 1)), -1);
    EXPECT_EQ(Found(block, full + "N"), -1);
    EXPECT_EQ(Found(block, endsInLead), 1);
    EXPECT_EQ(Found(block, endsInLead + "A"), -1);
}

TEST(FindArchiveEntry, DataOffsetsAdvanceByPaddedStoredSizes)
{
    Bytes block = HandTable({{"s0", 0}, {"s1", 1}, {"s16", 16}, {"s17", 17}, {"after", 3}});
    const char* names[] = {"s0", "s1", "s16", "s17", "after"};
    const uint64_t expected[] = {16, 16, 32, 48, 80};  // advances of 0, 16, 16, 32
    for (int i = 0; i < 5; i++) {
        uint64_t offset = 0;
        EXPECT_EQ(Found(block, names[i], &offset), i);
        EXPECT_EQ(offset, expected[i]) << names[i];
    }
}

TEST(FindArchiveEntry, OffsetsAreSummedIn64Bits)
{
    EXPECT_EQ(PaddedStoredSize(0xFFFFFFF8u), 0x100000000ull);
    EXPECT_EQ(PaddedStoredSize(0xFFFFFFFFu), 0x100000000ull);
    Bytes block = HandTable({{"big", 0xFFFFFFF8u}, {"big2", 0xFFFFFFF1u}, {"last", 1}});
    uint64_t offset = 0;
    EXPECT_EQ(Found(block, "last", &offset), 2);
    EXPECT_EQ(offset, 16 + 0x100000000ull + 0x100000000ull);
}

// ---- Damaged archives ----

TEST(OpenDamagedArchive, TableFaultsAreRefused)
{
    std::vector<WriterEntry> entries = {Entry("a.txt", Text(std::string(300, 'a'))), Entry("b.txt", Text("b"))};
    Bytes plain = Write(entries, PackStore);
    Bytes packed = Write(entries, PackCompressAlways);
    ASSERT_FALSE(Open(plain).empty());
    ASSERT_FALSE(Open(packed).empty());

    struct Case {
        const char* label;
        Bytes image;
    };
    std::vector<Case> cases;
    cases.push_back({"shorter than a header", Bytes(plain.begin(), plain.begin() + 15)});
    cases.push_back({"plain table cut by a byte", Bytes(plain.begin(), plain.end() - 1)});
    cases.push_back({"compressed table cut by a byte", Bytes(packed.begin(), packed.end() - 1)});
    cases.push_back({"compressed table cut by two bytes", Bytes(packed.begin(), packed.end() - 2)});
    Bytes c = plain;
    PutU32(&c, 8, (uint32_t)plain.size() + 1);
    cases.push_back({"tableOffset past the end", c});
    c = packed;
    PutU32(&c, 8, (uint32_t)packed.size());
    cases.push_back({"compressed table of no bytes", c});
    c = plain;
    PutU32(&c, 8, 0xFFFFFFF0u);
    cases.push_back({"tableOffset near 4 GiB", c});
    c = plain;
    PutU32(&c, 12, 3);
    cases.push_back({"one record more than the plain table holds", c});
    c = packed;
    PutU32(&c, 12, 3);
    cases.push_back({"compressed table decodes to fewer records", c});
    c = packed;
    PutU32(&c, 12, 1);
    cases.push_back({"compressed table decodes to more records", c});
    c = plain;
    PutU32(&c, 12, 0xFFFFFFFFu);
    cases.push_back({"entryCount times 280 overflows 32 bits", c});
    c = packed;
    PutU32(&c, 12, 15339168u);  // the largest count whose block fits 32 bits
    cases.push_back({"huge entryCount over a small compressed table", c});
    c = plain;
    PutU32(&c, 12, 15339168u);
    cases.push_back({"huge entryCount over a small plain table", c});
    c = packed;
    c[c.size() - 1] ^= 0xFF;  // the end code's byte
    cases.push_back({"compressed table without its end code", c});

    for (const Case& test : cases)
        EXPECT_TRUE(Open(test.image).empty()) << test.label;
}

TEST(OpenDamagedArchive, TableSizeLimit)
{
    uint32_t size = 0;
    EXPECT_EQ(ArchiveTableBlockSize(0, &size), 1);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(ArchiveTableBlockSize(15339168u, &size), 1);
    EXPECT_EQ(size, 15339168u * 280u + 16u);
    EXPECT_EQ(ArchiveTableBlockSize(15339169u, &size), 0);
    EXPECT_EQ(ArchiveTableBlockSize(0xFFFFFFFFu, &size), 0);
}

TEST(OpenDamagedArchive, MagicIsNotAskedOfAnImage)
{
    Bytes image = Write({Entry("a", Text("abc"))});
    image[0] = 'X';
    Bytes block = Open(image);
    ASSERT_FALSE(block.empty());
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    EXPECT_FALSE(HasArchiveMagic(&header));
    int ok;
    EXPECT_EQ(Decode(image, block, "a", &ok), Text("abc"));
}

TEST(DecodeDamagedEntry, RefusedWithoutReadingOutside)
{
    const Bytes text = Text(std::string(2000, 'q') + "end");
    struct Case {
        const char* label;
        PackMode storage;
        int scramble;
        void (*damage)(ArchiveEntry* record, Bytes* image, uint64_t offset);
    } cases[] = {
        {"stored range past the end", PackStore, 0,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->storedSize = r->unpackedSize = 0x7FFFFFF0u; }},
        {"stored one byte past the end", PackStore, 0,
         [](ArchiveEntry* r, Bytes* image, uint64_t offset) {
             r->storedSize = r->unpackedSize = (uint32_t)(image->size() - offset + 1);
         }},
        {"unpacked differs from stored", PackStore, 0, [](ArchiveEntry* r, Bytes*, uint64_t) { r->unpackedSize++; }},
        {"unpacked differs from stored, scrambled", PackStore, 1,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->unpackedSize--; }},
        {"compressed unpacked one byte more", PackCompressAlways, 0,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->unpackedSize++; }},
        {"compressed unpacked one byte less", PackCompressAlways, 0,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->unpackedSize--; }},
        {"compressed unpacked impossibly large", PackCompressAlways, 0,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->unpackedSize = 0xFFFFFFFFu; }},
        {"compressed block cut short", PackCompressAlways, 0, [](ArchiveEntry* r, Bytes*, uint64_t) { r->storedSize -= 3; }},
        {"compressed block with a bad first word", PackCompressAlways, 0,
         [](ArchiveEntry*, Bytes* image, uint64_t offset) { memset(image->data() + offset, 0, 4); }},
        {"compressed and scrambled, stored bytes changed", PackCompressAlways, 1,
         [](ArchiveEntry*, Bytes* image, uint64_t offset) { (*image)[offset + 1] ^= 0x80; }},
        {"compressed but read as not scrambled", PackCompressAlways, 1,
         [](ArchiveEntry* r, Bytes*, uint64_t) { r->scramble = 2; }},
    };
    for (const auto& c : cases) {
        Bytes image = Write({Entry("victim", text, c.storage, c.scramble), Entry("next", Text("n"))});
        Bytes block = Open(image);
        ASSERT_FALSE(block.empty()) << c.label;
        const ArchiveEntry* found;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(Table(block), "victim", &found, &offset));
        c.damage(const_cast<ArchiveEntry*>(found), &image, offset);
        // Decode over an exact-size copy of the image, so a read past its end is caught by the sanitizers.
        int ok = 1;
        Bytes data = Decode(image, block, "victim", &ok);
        EXPECT_EQ(ok, 0) << c.label;
    }
}

TEST(DecodeEntryData, EmptyEntriesNeedNoBuffers)
{
    Bytes image = Write({Entry("e1", Bytes(), PackStore, 1), Entry("e2", Bytes(), PackCompressAlways, 1)});
    Bytes block = Open(image);
    ASSERT_FALSE(block.empty());
    for (const char* name : {"e1", "e2"}) {
        const ArchiveEntry* entry;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(Table(block), name, &entry, &offset));
        ASSERT_TRUE(CheckEntryData(entry, offset, image.size()));
        Bytes copy(EntryNeedsCopy(entry) ? entry->storedSize : 0);  // e2's block is 5 bytes, still scrambled
        EXPECT_NE(DecodeEntryData(entry, image.data() + offset, copy.empty() ? nullptr : copy.data(), nullptr),
                  nullptr)
            << name;
    }
}

TEST(BlockCanDecodeTo, HoldsForTheDensestRealBlocks)
{
    // A long run is the densest input the encoder sees; its block must stay within the bound.
    Bytes zeros(1 << 20, 0);
    for (EncodeLevel level : {EncodeFast, EncodeDefault, EncodeBest}) {
        Bytes block = EncodeBlock(zeros.data(), zeros.size(), level);
        EXPECT_TRUE(BlockCanDecodeTo(block.size(), zeros.size())) << block.size();
    }
    EXPECT_TRUE(BlockCanDecodeTo(5, 0));
    EXPECT_FALSE(BlockCanDecodeTo(5, 1000));
}

}  // namespace

namespace {

TEST(ArchiveWriter, ReportsProgressAfterEachEntry)
{
    struct Seen {
        std::vector<std::pair<size_t, uint64_t>> calls;
    } seen;
    WriterOptions options = {PackStore, EncodeFast};
    options.progress = [](void* context, size_t entries, uint64_t bytes) {
        ((Seen*)context)->calls.push_back({entries, bytes});
    };
    options.progressContext = &seen;
    Bytes out;
    std::string error;
    ASSERT_EQ(WriteArchive({Entry("a", Text("12345")), Entry("b", Bytes()), Entry("c", Text("xyz"))}, options, &out,
                           &error),
              1)
        << error;
    std::vector<std::pair<size_t, uint64_t>> expected = {{1, 5}, {2, 5}, {3, 8}};
    EXPECT_EQ(seen.calls, expected);
}

// Files packed piece by piece through a scratch file give the archive that the same bytes give from memory:
// compressed, stored when that is not smaller, forced, scrambled, in either codec, and larger than the
// encoder's window.
TEST(ArchiveWriter, FilesPackedPieceByPieceMatchTheArchiveFromMemory)
{
    Bytes big = Noise(300000, 31);
    for (int k = 0; big.size() < (5u << 19); ++k) {
        Bytes text = Text("entry " + std::to_string(k % 977) + " of the update; ");
        big.insert(big.end(), text.begin(), text.end());
    }
    const struct {
        const char* name;
        Bytes data;
    } files[] = {{"empty", Bytes()}, {"small", Text("abcabcabcabc")}, {"noise", Noise(70001, 32)}, {"big", big}};
    std::vector<WriterEntry> entries;
    for (const auto& f : files)
        for (PackMode mode : {PackStore, PackCompressIfSmaller, PackCompressAlways})
            for (int scramble : {0, 1})
                entries.push_back(Entry(std::string(f.name) + "-" + std::to_string(mode) + "-" +
                                            std::to_string(scramble),
                                        f.data, mode, scramble, 0x01D5000000000000ull + entries.size()));
    std::string dir = ::testing::TempDir() + "piecewise_";
    for (const auto& f : files)
        std::ofstream(dir + f.name, std::ios::binary).write((const char*)f.data.data(), (std::streamsize)f.data.size());

    std::vector<ArchiveCodec> codecs = {CodecBlock};
    if (LzmaEncoderAvailable())
        codecs.push_back(CodecLzma);
    for (ArchiveCodec codec : codecs) {
        WriterOptions options;
        options.table = PackCompressIfSmaller;
        options.level = EncodeFast;
        options.codec = codec;
        Bytes fromMemory, fromFiles;
        std::string error;
        ASSERT_EQ(WriteArchive(entries, options, &fromMemory, &error), 1) << error;

        FILE* scratch = tmpfile();
        ASSERT_NE(scratch, nullptr);
        options.scratch = scratch;
        ArchiveWriter writer;
        ASSERT_EQ(StartArchive(&writer, VectorSink(&fromFiles), options), 1);
        for (const WriterEntry& e : entries) {
            std::string file = dir + e.name.substr(0, e.name.find('-'));
            ASSERT_EQ(AddArchiveFile(&writer, e.name, file, e.fileTime, e.storage, e.scramble, &error), 1) << error;
        }
        ASSERT_EQ(FinishArchive(&writer, &error), 1) << error;
        fclose(scratch);
        EXPECT_EQ(fromFiles.size(), fromMemory.size()) << "codec " << codec;
        EXPECT_TRUE(fromFiles == fromMemory) << "codec " << codec;
        EXPECT_GE(writer.compressedEntries, 4) << "codec " << codec;
    }
    for (const auto& f : files)
        remove((dir + f.name).c_str());
}

// What AddArchiveFile and AddArchiveDelta read must be the file as it was when packing began: one that grows, is
// written over in place, or differs between two reads (of an incompressible file, or for a delta and the whole
// entry after it), is an error, never a cut or mixed entry.
struct Meddling {
    std::string path;
    int kind;  // 0 append, 1 overwrite in place (new time), 2 change the last byte keeping the time
    int done;
};

void Meddle(Meddling* m)
{
    if (m->done++)
        return;
    struct stat before;
    ASSERT_EQ(stat(m->path.c_str(), &before), 0);
    FILE* f = fopen(m->path.c_str(), m->kind == 0 ? "ab" : "r+b");
    ASSERT_NE(f, nullptr);
    if (m->kind == 2)
        fseek(f, -1, SEEK_END);
    fputs(m->kind == 2 ? "!" : "written while packing", f);
    fclose(f);
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (m->kind == 1)
        times[1].tv_sec += 5;
    ASSERT_EQ(utimensat(AT_FDCWD, m->path.c_str(), times, 0), 0);
}

void MeddleOnProgress(void* context, size_t, uint64_t) { Meddle((Meddling*)context); }
void MeddleOnCompressing(void* context, uint64_t) { Meddle((Meddling*)context); }

TEST(ArchiveWriter, AFileChangedWhilePackedIsAnError)
{
    struct Case {
        const char* what;
        Bytes data;
        PackMode storage;
        int kind;
        int onCompressing;
        int delta;  // 0 a whole entry; 1 a delta against the data with its first byte changed; 2 that and the whole
    } cases[] = {
        {"grows while stored", Text(std::string(3u << 20, 'a')), PackStore, 0, 0, 0},
        {"grows while compressed", Text(std::string(3u << 20, 'a')), PackCompressIfSmaller, 0, 1, 0},
        {"written over in place while compressed", Text(std::string(3u << 20, 'a')), PackCompressIfSmaller, 1, 1, 0},
        {"differs on its second read", Noise(3u << 20, 9), PackCompressIfSmaller, 2, 0, 0},
        {"grows while its delta is made", Noise(3u << 20, 9), PackCompressIfSmaller, 0, 1, 1},
        {"written over in place while its delta is made", Noise(3u << 20, 9), PackCompressIfSmaller, 1, 1, 1},
        {"differs between its delta and its whole entry", Noise(3u << 20, 9), PackCompressIfSmaller, 2, 0, 2},
    };
    std::string path = ::testing::TempDir() + "meddled.dat", oldPath = ::testing::TempDir() + "meddled.old";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(path, std::ios::binary).write((const char*)c.data.data(), (std::streamsize)c.data.size());
        Bytes old = c.data;
        old[0] ^= 1;
        std::ofstream(oldPath, std::ios::binary).write((const char*)old.data(), (std::streamsize)old.size());
        Meddling meddling = {path, c.kind, 0};
        WriterOptions options;
        options.table = PackCompressIfSmaller;
        options.level = EncodeFast;
        if (c.onCompressing)
            options.compressing = MeddleOnCompressing;
        else
            options.progress = MeddleOnProgress;
        options.progressContext = &meddling;
        FILE* scratch = tmpfile();
        FILE* deltaBody = tmpfile();
        FILE* deltaStored = tmpfile();
        ASSERT_TRUE(scratch && deltaBody && deltaStored);
        options.scratch = scratch;
        options.deltaBody = deltaBody;
        options.deltaStored = deltaStored;
        Bytes archive;
        ArchiveWriter writer;
        std::string error;
        ASSERT_EQ(StartArchive(&writer, VectorSink(&archive), options), 1);
        DeltaOutcome outcome = DeltaTooLarge;
        std::vector<std::string> bases;
        int added = c.delta ? AddArchiveDelta(&writer, "meddled.dat", path, {oldPath}, 0, 0, c.delta == 2, &outcome,
                                              &bases, &error)
                            : AddArchiveFile(&writer, "meddled.dat", path, 0, c.storage, 0, &error);
        EXPECT_EQ(added, 0);
        EXPECT_GE(meddling.done, 1) << "the file was changed during the packing";
        if (c.delta) {
            EXPECT_EQ(outcome, DeltaWritten) << "the delta path was taken";
        }
        EXPECT_EQ(error, path + ": changed while it was packed; build again when nothing writes to it");
        for (FILE* f : {scratch, deltaBody, deltaStored})
            fclose(f);
    }
    remove(path.c_str());
    remove(oldPath.c_str());
}

}  // namespace
