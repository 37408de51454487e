#include "archive/archive_format.h"

#include <cstring>

#include "archive/block_decoder.h"
#include "archive/delta_format.h"
#include "archive/lzma_decoder.h"
#include "support/cp932.h"

int BlockCanDecodeTo(uint64_t blockSize, uint64_t decodedSize)
{
    // Cheapest token: a 282-byte copy in 3 code bits, a byte, 1 extra bit, 5 length bits and a byte.
    if (blockSize >= ((uint64_t)1 << 48))
        return 1;
    return decodedSize * 25 <= blockSize * 8 * 282;
}

static uint32_t RotateRight(uint32_t value, unsigned count)
{
    count &= 31;
    return count ? (value >> count) | (value << (32 - count)) : value;
}

static uint32_t RotateLeft(uint32_t value, unsigned count)
{
    count &= 31;
    return count ? (value << count) | (value >> (32 - count)) : value;
}

void StartDescramble(ScrambleKey* key, uint32_t length)
{
    static const unsigned char shifts[8] = {9, 4, 14, 21, 6, 26, 17, 2};
    unsigned bits = 0;
    for (uint32_t v = length; v; v &= v - 1)
        bits++;
    key->shift = shifts[bits % 8];
    key->key = RotateRight(length ^ 0x2C71E9A3u, length % 32);
}

void DescramblePiece(ScrambleKey* key, unsigned char* buffer, size_t count)
{
    uint32_t k = key->key;
    for (size_t i = 0; i + 4 <= count; i += 4) {
        uint32_t word;
        memcpy(&word, buffer + i, 4);
        word ^= k;
        memcpy(buffer + i, &word, 4);
        k = RotateLeft(k, key->shift);
    }
    key->key = k;
}

void DescrambleAt(uint32_t length, uint64_t offset, unsigned char* buffer, size_t count)
{
    ScrambleKey key;
    StartDescramble(&key, length);
    // The key turns by `shift` every word, so its turn that far in is a rotation by shift * words mod 32.
    key.key = RotateLeft(key.key, (unsigned)(((offset / 4) % 32) * key.shift % 32));
    DescramblePiece(&key, buffer, count);
}

void DescrambleEntry(unsigned char* buffer, uint32_t length)
{
    ScrambleKey key;
    StartDescramble(&key, length);
    DescramblePiece(&key, buffer, length);
}

void ReadArchiveHeader(const unsigned char* bytes, ArchiveHeader* header)
{
    memcpy(header, bytes, sizeof(ArchiveHeader));
}

int HasArchiveMagic(const ArchiveHeader* header)
{
    return header->magic == ArchiveMagic;
}

EntryMethod ArchiveTableMethod(const ArchiveHeader* header)
{
    if (!(header->flags & ArchiveFlagNewMethods))
        return (header->flags & ArchiveFlagTableCompressed) ? EntryMethodBlock : EntryMethodStored;
    switch (header->flags & (ArchiveFlagTableCompressed | ArchiveFlagTableLzma)) {
    case 0: return EntryMethodStored;
    case ArchiveFlagTableCompressed: return EntryMethodBlock;
    case ArchiveFlagTableLzma: return EntryMethodLzma;
    default: return EntryMethodUnknown;
    }
}

void GateEntryMethods(ArchiveTable* table)
{
    if (table->header.flags & ArchiveFlagNewMethods)
        return;
    ArchiveEntry* records = reinterpret_cast<ArchiveEntry*>(reinterpret_cast<unsigned char*>(table) + ArchiveHeaderSize);
    for (uint32_t i = 0; i < table->header.entryCount; i++)
        records[i].storage &= EntryStorageStored | EntryStorageCompressed;
}

int ArchiveTableBlockSize(uint32_t entryCount, uint32_t* blockSize)
{
    uint64_t size = (uint64_t)entryCount * ArchiveEntrySize + ArchiveHeaderSize;
    if (size > 0xFFFFFFFFu)
        return 0;
    *blockSize = (uint32_t)size;
    return 1;
}

int LocateArchiveTable(const ArchiveHeader* header, uint64_t archiveSize, uint32_t* tableLength)
{
    uint32_t blockSize;
    if (!ArchiveTableBlockSize(header->entryCount, &blockSize))
        return 0;
    uint32_t recordsSize = blockSize - ArchiveHeaderSize;
    if (header->tableOffset > archiveSize)
        return 0;
    uint64_t rest = archiveSize - header->tableOffset;
    EntryMethod method = ArchiveTableMethod(header);
    if (method == EntryMethodUnknown)
        return 0;
    if (method != EntryMethodStored) {
        int fits = method == EntryMethodLzma ? LzmaCanDecodeTo(rest, recordsSize) : BlockCanDecodeTo(rest, recordsSize);
        if (rest > 0xFFFFFFFFu || !fits)
            return 0;
        *tableLength = (uint32_t)rest;
    } else {
        if (rest < recordsSize)
            return 0;
        *tableLength = recordsSize;
    }
    return 1;
}

int FillArchiveRecords(ArchiveTable* table, uint32_t blockSize, const unsigned char* tableBytes, uint32_t tableLength)
{
    uint32_t needed;
    if (!ArchiveTableBlockSize(table->header.entryCount, &needed) || needed != blockSize)
        return 0;
    unsigned char* records = reinterpret_cast<unsigned char*>(table) + ArchiveHeaderSize;
    uint32_t recordsSize = blockSize - ArchiveHeaderSize;
    int filled = 0;
    switch (ArchiveTableMethod(&table->header)) {
    case EntryMethodLzma:
        if (LzmaCanDecodeTo(tableLength, recordsSize)) {
            uint16_t probabilities[LzmaTableProbabilities];
            filled = DecompressLzma(records, recordsSize, tableBytes, tableLength, probabilities,
                                    LzmaTableProbabilities);
        }
        break;
    case EntryMethodBlock:
        filled = BlockCanDecodeTo(tableLength, recordsSize) &&
                 DecompressBlock(records, recordsSize, tableBytes, tableLength);
        break;
    case EntryMethodStored:
        filled = tableLength == recordsSize;
        if (filled && recordsSize)
            memcpy(records, tableBytes, recordsSize);
        break;
    default:
        break;
    }
    if (filled)
        GateEntryMethods(table);
    return filled;
}

int FillArchiveTable(ArchiveTable* table, uint32_t blockSize, const unsigned char* image, size_t imageSize)
{
    if (imageSize < ArchiveHeaderSize)
        return 0;
    ReadArchiveHeader(image, &table->header);
    uint32_t tableLength;
    if (!LocateArchiveTable(&table->header, imageSize, &tableLength))
        return 0;
    return FillArchiveRecords(table, blockSize, image + table->header.tableOffset, tableLength);
}

static unsigned char FoldAscii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c;
}

int ArchiveNamesEqual(const char* recordName, const char* name)
{
    const unsigned char* a = reinterpret_cast<const unsigned char*>(recordName);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(name);
    uint32_t i = 0;
    while (i < ArchiveNameSize) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return 0;
        if (a[i] == 0)
            return 1;
        if (IsCp932LeadByte(a[i]) && i + 1 < ArchiveNameSize) {
            // The trail byte belongs to a double-byte character and is compared as it is.
            i++;
            if (a[i] != b[i])
                return 0;
            if (a[i] == 0)
                return 1;
        }
        i++;
    }
    // The record's name filled all its bytes: the wanted name must end right there.
    return b[ArchiveNameSize] == 0;
}

int FindArchiveEntry(const ArchiveTable* table, const char* name, const ArchiveEntry** entry, uint64_t* dataOffset)
{
    const ArchiveEntry* records = ArchiveTableEntries(table);
    uint64_t offset = ArchiveHeaderSize;
    for (uint32_t i = 0; i < table->header.entryCount; i++) {
        if (ArchiveNamesEqual(records[i].name, name)) {
            *entry = &records[i];
            *dataOffset = offset;
            return 1;
        }
        offset += PaddedStoredSize(records[i].storedSize);
    }
    return 0;
}

int CheckEntryData(const ArchiveEntry* entry, uint64_t dataOffset, uint64_t imageSize)
{
    if (dataOffset > imageSize || imageSize - dataOffset < entry->storedSize)
        return 0;
    switch (EntryMethodOf(entry)) {
    case EntryMethodStored: return entry->unpackedSize == entry->storedSize;
    case EntryMethodBlock: return BlockCanDecodeTo(entry->storedSize, entry->unpackedSize);
    case EntryMethodLzma: return LzmaCanDecodeTo(entry->storedSize, entry->unpackedSize);
    case EntryMethodDelta: return entry->storedSize >= DeltaHeaderSize;
    default: return 0;
    }
}

const unsigned char* DecodeEntryData(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* copy,
                                     unsigned char* decoded)
{
    if (EntryMethodOf(entry) != EntryMethodStored && EntryMethodOf(entry) != EntryMethodBlock)
        return nullptr;
    // Empty entries may come without buffers (a zero-byte allocation can be null); then the stored bytes stand in.
    if ((!copy && EntryNeedsCopy(entry) && entry->storedSize) ||
        (!decoded && EntryNeedsDecoding(entry) && entry->unpackedSize))
        return nullptr;
    const unsigned char* data = stored;
    if (EntryNeedsCopy(entry) && copy) {
        memcpy(copy, stored, entry->storedSize);
        DescrambleEntry(copy, entry->storedSize);
        data = copy;
    }
    if (EntryNeedsDecoding(entry)) {
        unsigned char none;
        if (!DecompressBlock(decoded ? decoded : &none, entry->unpackedSize, data, entry->storedSize))
            return nullptr;
        if (decoded)
            data = decoded;
    }
    return data;
}
