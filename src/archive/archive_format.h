#pragma once
// The update archive's on-disk layout and every bounded step of reading it, without the platform: the updater's
// Win32 wrapper, the fa2 tool and the fuzzer share these, so a hostile archive is refused the same way everywhere.
#include <cstddef>
#include <cstdint>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "archive records are read in place: little-endian targets only"
#endif

const uint32_t ArchiveMagic = 0x00324146u;  // "FA2" and a zero byte
const uint32_t ArchiveHeaderSize = 16;
const uint32_t ArchiveEntrySize = 280;
const uint32_t ArchiveNameSize = 260;
const uint32_t ArchiveFlagTableCompressed = 1;  // the table is one block of the block method
const uint32_t ArchiveFlagTableLzma = 2;        // the table is LZMA data (with bit 0 also set: damaged)
// Set only in archives that use a method the first format did not have (LZMA, delta). Without it the archive
// is read exactly as that format says: of `flags` only bit 0, of `storage` only the bit of value 2, whatever
// else an old writer left in them.
const uint32_t ArchiveFlagNewMethods = 0x100;
const unsigned char EntryStorageStored = 1;
const unsigned char EntryStorageCompressed = 2;  // the block method
const unsigned char EntryStorageLzma = 4;        // LZMA (read only under ArchiveFlagNewMethods)
const unsigned char EntryStorageDelta = 8;       // a delta against the installed file (likewise)
const unsigned char EntryScrambled = 1;          // exactly this value means scrambled

// How an entry's stored bytes become its file. Under ArchiveFlagNewMethods the bits of value 2, 4 and 8 are
// read and exactly one of them (or none: stored) may be set; without the flag the table's records are cut down
// to the bits 1 and 2 when the table is opened (GateEntryMethods), so nothing after that sees the others. LZMA
// data is stored as: 1 properties byte ((pb * 5 + lp) * 9 + lc), the dictionary size (4 bytes, little-endian),
// then the raw LZMA stream, with or without an end marker; the file's size is unpackedSize. Large files take the
// pieced form instead (lzma_decoder.h). The dictionary is at
// most 8 MiB (LzmaMaxDictionary, all fa2 build writes): a larger one is damage, so an entry's window never takes
// more. A delta's stored bytes are described in delta_format.h. Scrambling, when marked, covers all of the
// stored bytes, header included. An LZMA table keeps lc + lp <= 4, since it is decoded before anything else is allocated.
enum EntryMethod { EntryMethodStored, EntryMethodBlock, EntryMethodLzma, EntryMethodDelta, EntryMethodUnknown };

struct ArchiveHeader {
    uint32_t magic;
    uint32_t flags;
    uint32_t tableOffset;
    uint32_t entryCount;
};

// Same layout as FILETIME, so the Win32 side can pass it on as it stands.
struct ArchiveFileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
};

struct ArchiveEntry {
    char name[260];  // cp932; may fill all 260 bytes without a NUL
    unsigned char storage;
    unsigned char reserved1;
    unsigned char scramble;
    unsigned char reserved2;
    ArchiveFileTime fileTime;
    uint32_t unpackedSize;
    uint32_t storedSize;
};

static_assert(sizeof(ArchiveHeader) == 16, "header is 16 bytes");
static_assert(offsetof(ArchiveHeader, flags) == 4 && offsetof(ArchiveHeader, tableOffset) == 8 &&
                  offsetof(ArchiveHeader, entryCount) == 12,
              "header field offsets");
static_assert(sizeof(ArchiveEntry) == 280, "entry record is 280 bytes");
static_assert(offsetof(ArchiveEntry, storage) == 260 && offsetof(ArchiveEntry, scramble) == 262 &&
                  offsetof(ArchiveEntry, fileTime) == 264 && offsetof(ArchiveEntry, unpackedSize) == 272 &&
                  offsetof(ArchiveEntry, storedSize) == 276,
              "entry field offsets");

// The opened archive: one block of entryCount * 280 + 16 bytes, the header followed by the records.
struct ArchiveTable {
    ArchiveHeader header;
};

inline const ArchiveEntry* ArchiveTableEntries(const ArchiveTable* table)
{
    return reinterpret_cast<const ArchiveEntry*>(reinterpret_cast<const unsigned char*>(table) + ArchiveHeaderSize);
}

inline uint64_t FileTimeValue(const ArchiveFileTime& time)
{
    return ((uint64_t)time.highDateTime << 32) | time.lowDateTime;
}

// Room an entry takes in the archive: its stored bytes rounded up to 16, in 64 bits so 0xFFFFFFF8 stays large.
inline uint64_t PaddedStoredSize(uint32_t storedSize)
{
    return ((uint64_t)storedSize + 15) & ~(uint64_t)15;
}

// The most a block of `blockSize` bytes can decode to is 282 bytes per 25 code bits; anything claiming more is
// damaged, and refusing it early keeps a hostile size from asking for gigabytes.
int BlockCanDecodeTo(uint64_t blockSize, uint64_t decodedSize);

// Applies the length-keyed word transform in place; applying it twice restores the bytes.
void DescrambleEntry(unsigned char* buffer, uint32_t length);

// The same transform over an entry's stored bytes taken in pieces: the key stream depends on the length alone and
// runs on from piece to piece. Every piece but the last is a whole number of words; the last one's 1 to 3 tail
// bytes stay as they are.
struct ScrambleKey {
    uint32_t key;
    unsigned shift;
};
void StartDescramble(ScrambleKey* key, uint32_t length);
void DescramblePiece(ScrambleKey* key, unsigned char* buffer, size_t count);

// The transform over `count` of an entry's stored bytes taken from `offset` (a multiple of 4), in an entry of
// `length` stored bytes: the key stream as it stands that far in.
void DescrambleAt(uint32_t length, uint64_t offset, unsigned char* buffer, size_t count);

// The header as it stands in the first 16 bytes (the magic is not compared here).
void ReadArchiveHeader(const unsigned char* bytes, ArchiveHeader* header);
int HasArchiveMagic(const ArchiveHeader* header);

// How the table's records are stored, from the header's flags (Stored: plain records).
EntryMethod ArchiveTableMethod(const ArchiveHeader* header);

// Cuts every record's storage down to what the first format reads (bits 1 and 2) when the header lacks
// ArchiveFlagNewMethods. FillArchiveRecords does it; a reader that fills the records itself calls it.
void GateEntryMethods(ArchiveTable* table);

// Size of the ArchiveTable block; 0 when entryCount * 280 + 16 does not fit 32 bits.
int ArchiveTableBlockSize(uint32_t entryCount, uint32_t* blockSize);

// Length of the table's bytes at tableOffset in an archive of `archiveSize` bytes: exactly entryCount * 280 for a
// plain table, the rest of the archive for a compressed one (either method). 0 when the table cannot lie there.
int LocateArchiveTable(const ArchiveHeader* header, uint64_t archiveSize, uint32_t* tableLength);

// Fills the records of `table` (whose header is already set) from the table's bytes: copied when plain, decoded
// into exactly entryCount * 280 bytes when compressed. 0 when the bytes do not make that table.
int FillArchiveRecords(ArchiveTable* table, uint32_t blockSize, const unsigned char* tableBytes, uint32_t tableLength);

// Header, location and records from an archive image held in memory. 0 on any damage.
int FillArchiveTable(ArchiveTable* table, uint32_t blockSize, const unsigned char* image, size_t imageSize);

// Name equality as the updater's lookup sees it: ASCII letters of single-byte characters fold, trail bytes never
// do, and the record's name ends at its NUL or after its 260 bytes.
int ArchiveNamesEqual(const char* recordName, const char* name);

// First record named `name` in table order, and where its data begins. 0 when no record has the name.
int FindArchiveEntry(const ArchiveTable* table, const char* name, const ArchiveEntry** entry, uint64_t* dataOffset);

// 1 when the entry's stored bytes lie inside the image and its sizes can be honoured: an uncompressed entry's
// unpackedSize equals storedSize, a compressed one's is reachable from its stored bytes.
int CheckEntryData(const ArchiveEntry* entry, uint64_t dataOffset, uint64_t imageSize);

// Working buffers an entry needs: a descrambled copy of storedSize bytes, a decoded buffer of unpackedSize bytes.
inline int EntryNeedsCopy(const ArchiveEntry* entry) { return entry->scramble == EntryScrambled; }
inline int EntryNeedsDecoding(const ArchiveEntry* entry)
{
    return (entry->storage & (EntryStorageCompressed | EntryStorageLzma | EntryStorageDelta)) != 0;
}
inline EntryMethod EntryMethodOf(const ArchiveEntry* entry)
{
    switch (entry->storage & (EntryStorageCompressed | EntryStorageLzma | EntryStorageDelta)) {
    case 0: return EntryMethodStored;
    case EntryStorageCompressed: return EntryMethodBlock;
    case EntryStorageLzma: return EntryMethodLzma;
    case EntryStorageDelta: return EntryMethodDelta;
    default: return EntryMethodUnknown;
    }
}

// Turns an entry's stored bytes into its file bytes: descrambles into `copy` when scrambled, then decodes into
// `decoded` when compressed with the block method (LZMA entries need tables: StreamEntry decodes them; delta
// entries need the old file: StreamDeltaEntry). Returns the file's unpackedSize bytes (the stored bytes themselves, `copy` or
// `decoded`), or null when the compressed data is malformed. Call CheckEntryData first. A buffer may be null
// only when its size is 0.
const unsigned char* DecodeEntryData(const ArchiveEntry* entry, const unsigned char* stored, unsigned char* copy,
                                     unsigned char* decoded);
