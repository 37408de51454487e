// CRC-32 and the payload's sums resource: what fa2 build writes, the updater and fa2 verify read back, and every
// kind of damage to the resource itself is told apart from a later format.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/payload_sums.h"
#include "archive_writer.h"
#include "support/crc32.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// The textbook bit-at-a-time CRC, to hold the table-driven one to.
uint32_t BitwiseCrc(const unsigned char* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

TEST(Crc32, KnownValuesAndAnySplit)
{
    EXPECT_EQ(Crc32Update(0, "", 0), 0u);
    EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32Update(0, "The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);

    std::mt19937 rng(7);
    Bytes data(300);
    for (auto& b : data)
        b = (unsigned char)rng();
    // Lengths around the eight-byte steps, and every split of a buffer into two pieces.
    for (size_t n = 0; n <= 40; ++n)
        EXPECT_EQ(Crc32Update(0, data.data() + 3, n), BitwiseCrc(data.data() + 3, n)) << n;
    uint32_t whole = Crc32Update(0, data.data(), data.size());
    for (size_t cut = 0; cut <= data.size(); cut += 7)
        EXPECT_EQ(Crc32Update(Crc32Update(0, data.data(), cut), data.data() + cut, data.size() - cut), whole) << cut;
}

Bytes Sums(uint32_t count, uint32_t archiveSize, uint32_t tableSum)
{
    std::vector<uint32_t> entries;
    for (uint32_t i = 0; i < count; ++i)
        entries.push_back(0x11111111u * (i + 1));
    Bytes bytes(PayloadSumsSize(count));
    WritePayloadSums(bytes.data(), count, archiveSize, tableSum, entries.data());
    return bytes;
}

// Re-seals a changed resource, so that only the change is wrong, not its own sum.
void Reseal(Bytes* b)
{
    uint32_t crc = Crc32Update(Crc32Update(0, b->data(), 20), b->data() + 24, b->size() - 24);
    memcpy(b->data() + 20, &crc, 4);
}

TEST(PayloadSums, WrittenSumsReadBack)
{
    Bytes b = Sums(3, 4096, 0xABCDEF01u);
    ASSERT_EQ(b.size(), 24u + 12u);
    EXPECT_EQ(0, memcmp(b.data(), "FA2S\x01\x00\x18\x00", 8));
    PayloadSums sums;
    ASSERT_EQ(ReadPayloadSums(b.data(), b.size(), &sums), PayloadSumsRead);
    EXPECT_EQ(sums.entryCount, 3u);
    EXPECT_EQ(sums.archiveSize, 4096u);
    EXPECT_EQ(sums.tableSum, 0xABCDEF01u);
    EXPECT_EQ(PayloadEntrySum(&sums, 0), 0x11111111u);
    EXPECT_EQ(PayloadEntrySum(&sums, 2), 0x33333333u);
    Bytes none = Sums(0, 16, 5);
    ASSERT_EQ(ReadPayloadSums(none.data(), none.size(), &sums), PayloadSumsRead);
    EXPECT_EQ(sums.entryCount, 0u);
}

TEST(PayloadSums, DamageIsToldFromALaterFormat)
{
    struct Case {
        const char* what;
        void (*change)(Bytes* b);
        PayloadSumsResult result;
    } cases[] = {
        {"a flipped entry sum", [](Bytes* b) { (*b)[25] ^= 1; }, PayloadSumsDamaged},
        {"a flipped table sum", [](Bytes* b) { (*b)[16] ^= 0x80; }, PayloadSumsDamaged},
        {"a flipped version", [](Bytes* b) { (*b)[4] = 2; }, PayloadSumsDamaged},
        {"cut short", [](Bytes* b) { b->resize(b->size() - 4); }, PayloadSumsDamaged},
        {"shorter than its header", [](Bytes* b) { b->resize(20); }, PayloadSumsDamaged},
        {"no mark", [](Bytes* b) { (*b)[0] = 'X'; Reseal(b); }, PayloadSumsDamaged},
        {"count and size disagree", [](Bytes* b) { (*b)[8] = 7; Reseal(b); }, PayloadSumsDamaged},
        {"another header size", [](Bytes* b) { (*b)[6] = 28; Reseal(b); }, PayloadSumsDamaged},
        {"a later version, intact", [](Bytes* b) { (*b)[4] = 2; Reseal(b); }, PayloadSumsUnknownVersion},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = Sums(3, 4096, 77);
        c.change(&b);
        PayloadSums sums;
        EXPECT_EQ(ReadPayloadSums(b.data(), b.size(), &sums), c.result);
    }
}

TEST(PayloadSums, BelongToOneArchiveOnly)
{
    WriterOptions options = {PackCompressIfSmaller, EncodeFast};
    std::vector<WriterEntry> entries(2);
    entries[0] = WriterEntry{"UPDATE.INI", Bytes(100, 'i'), 0, PackStore, 0};
    entries[1] = WriterEntry{"a.dat", Bytes(5000, 'a'), 0, PackCompressIfSmaller, 1};
    ArchiveWriter writer;
    Bytes archive;
    std::string error;
    ASSERT_TRUE(StartArchive(&writer, VectorSink(&archive), options));
    for (WriterEntry& e : entries)
        ASSERT_TRUE(AddArchiveEntry(&writer, e.name, e.data.data(), e.data.size(), 0, e.storage, e.scramble, &error));
    ASSERT_TRUE(FinishArchive(&writer, &error)) << error;
    // The writer's sums are those of the files' bytes, and its table sum that of the table as the reader opens it.
    EXPECT_EQ(writer.sums[0], Crc32Update(0, entries[0].data.data(), 100));
    EXPECT_EQ(writer.sums[1], Crc32Update(0, entries[1].data.data(), 5000));
    uint32_t blockSize;
    ASSERT_TRUE(ArchiveTableBlockSize(2, &blockSize));
    Bytes block(blockSize);
    ASSERT_TRUE(FillArchiveTable((ArchiveTable*)block.data(), blockSize, archive.data(), archive.size()));
    const ArchiveTable* table = (const ArchiveTable*)block.data();
    EXPECT_EQ(ArchiveTableSum(table), writer.tableSum);

    Bytes resource(PayloadSumsSize(2));
    WritePayloadSums(resource.data(), 2, (uint32_t)archive.size(), writer.tableSum, writer.sums.data());
    PayloadSums sums;
    ASSERT_EQ(ReadPayloadSums(resource.data(), resource.size(), &sums), PayloadSumsRead);
    EXPECT_TRUE(PayloadSumsMatchArchive(&sums, table, archive.size()));
    EXPECT_FALSE(PayloadSumsMatchArchive(&sums, table, archive.size() + 16)) << "another archive's size";
    Bytes changed = block;
    changed[16 + 280 + 272] ^= 1;  // the second record's unpacked size
    EXPECT_FALSE(PayloadSumsMatchArchive(&sums, (const ArchiveTable*)changed.data(), archive.size()));
}

}  // namespace
