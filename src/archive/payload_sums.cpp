#include "archive/payload_sums.h"

#include <cstring>

#include "support/crc32.h"
#include "support/little_endian.h"

namespace {

const unsigned char SumsMark[4] = {'F', 'A', '2', 'S'};
const size_t SelfSumAt = 20;

uint16_t Le16(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

// The resource's own sum: every byte but the four that hold it.
uint32_t SelfSum(const unsigned char* bytes, size_t size)
{
    uint32_t crc = Crc32Update(0, bytes, SelfSumAt);
    return Crc32Update(crc, bytes + SelfSumAt + 4, size - SelfSumAt - 4);
}

}  // namespace

PayloadSumsResult ReadPayloadSums(const unsigned char* bytes, size_t size, PayloadSums* sums)
{
    if (size < PayloadSumsHeaderSize || memcmp(bytes, SumsMark, 4) != 0)
        return PayloadSumsDamaged;
    // Its own sum first, so that a damaged version field is not mistaken for a later format.
    if (SelfSum(bytes, size) != LoadLe32(bytes + SelfSumAt))
        return PayloadSumsDamaged;
    if (Le16(bytes + 4) != PayloadSumsVersion)
        return PayloadSumsUnknownVersion;
    uint32_t count = LoadLe32(bytes + 8);
    if (Le16(bytes + 6) != PayloadSumsHeaderSize || (uint64_t)size != PayloadSumsHeaderSize + (uint64_t)count * 4)
        return PayloadSumsDamaged;
    sums->entryCount = count;
    sums->archiveSize = LoadLe32(bytes + 12);
    sums->tableSum = LoadLe32(bytes + 16);
    sums->entrySums = bytes + PayloadSumsHeaderSize;
    return PayloadSumsRead;
}

uint32_t ArchiveTableSum(const ArchiveTable* table)
{
    return Crc32Update(0, table, ArchiveHeaderSize + (size_t)table->header.entryCount * ArchiveEntrySize);
}

int PayloadSumsMatchArchive(const PayloadSums* sums, const ArchiveTable* table, uint64_t archiveSize)
{
    return sums->archiveSize == archiveSize && sums->entryCount == table->header.entryCount &&
           sums->tableSum == ArchiveTableSum(table);
}

uint32_t PayloadEntrySum(const PayloadSums* sums, uint32_t index)
{
    return LoadLe32(sums->entrySums + (size_t)index * 4);
}

size_t PayloadSumsSize(uint32_t entryCount)
{
    return PayloadSumsHeaderSize + (size_t)entryCount * 4;
}

void WritePayloadSums(unsigned char* out, uint32_t entryCount, uint32_t archiveSize, uint32_t tableSum,
                      const uint32_t* entrySums)
{
    memcpy(out, SumsMark, 4);
    out[4] = (unsigned char)PayloadSumsVersion;
    out[5] = (unsigned char)(PayloadSumsVersion >> 8);
    out[6] = (unsigned char)PayloadSumsHeaderSize;
    out[7] = 0;
    StoreLe32(out + 8, entryCount);
    StoreLe32(out + 12, archiveSize);
    StoreLe32(out + 16, tableSum);
    for (uint32_t i = 0; i < entryCount; ++i)
        StoreLe32(out + PayloadSumsHeaderSize + (size_t)i * 4, entrySums[i]);
    size_t size = PayloadSumsSize(entryCount);
    StoreLe32(out + SelfSumAt, SelfSum(out, size));
}
