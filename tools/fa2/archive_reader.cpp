#include "archive_reader.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/entry_stream.h"
#include "byte_sink.h"
#include "file_io.h"
#include "pe_resources.h"
#include "support/crc32.h"

namespace fs = std::filesystem;

namespace {

const char PayloadType[] = "UPDATE";
const size_t PlainPiece = 1u << 20;
const uint16_t PayloadId = 102;

// The decoder's working memory, not filled in advance: pages that a damaged entry never reaches are never
// touched, whatever size its record claims.
struct Workspace {
    unsigned char* bytes;
    explicit Workspace(size_t size) : bytes(new unsigned char[size ? size : 1]) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() { delete[] bytes; }
};

struct Collected {
    std::vector<unsigned char>* bytes;
    uint64_t limit;
};

int CollectBytes(void* context, const unsigned char* bytes, size_t count)
{
    Collected* c = (Collected*)context;
    if (c->bytes->size() + count > c->limit)
        return 0;
    // Grown by doubling, but never past the limit: the block holds what decoded, at most what was claimed.
    size_t wanted = c->bytes->size() + count;
    if (wanted > c->bytes->capacity()) {
        uint64_t grown = (uint64_t)c->bytes->capacity() * 2;
        c->bytes->reserve((size_t)(grown < wanted ? wanted : grown > c->limit ? c->limit : grown));
    }
    c->bytes->insert(c->bytes->end(), bytes, bytes + count);
    return 1;
}

struct Summed {
    EntryOutput output;
    void* context;
    uint32_t sum;
};

int SumAndPass(void* context, const unsigned char* bytes, size_t count)
{
    Summed* s = (Summed*)context;
    s->sum = Crc32Update(s->sum, bytes, count);
    return s->output(s->context, bytes, count);
}

// The records from the table's stored bytes. A compressed table is decoded a piece at a time into a block that
// grows with what actually decodes: a table that claims millions of records but holds junk is refused after
// its first bytes, not after a block of the claimed size was taken.
int LoadTable(LoadedArchive* archive, const ArchiveHeader& header, const unsigned char* tableBytes,
              uint32_t tableLength, std::string* error)
{
    uint32_t blockSize;
    ArchiveTableBlockSize(header.entryCount, &blockSize);
    uint32_t recordsSize = blockSize - ArchiveHeaderSize;
    std::vector<unsigned char>& block = archive->tableBlock;
    block.assign((const unsigned char*)&header, (const unsigned char*)&header + sizeof header);
    EntryMethod method = ArchiveTableMethod(&header);
    if (method == EntryMethodStored) {
        block.insert(block.end(), tableBytes, tableBytes + recordsSize);
    } else {
        ArchiveEntry table;
        memset(&table, 0, sizeof table);
        table.storage = method == EntryMethodLzma ? EntryStorageLzma : EntryStorageCompressed;
        table.unpackedSize = recordsSize;
        table.storedSize = tableLength;
        size_t workspaceSize = 0;
        int decoded = EntryWorkspaceSize(&table, tableBytes, &workspaceSize);
        if (decoded) {
            Workspace workspace(workspaceSize);
            Collected collected = {&block, blockSize};
            decoded = StreamEntry(&table, tableBytes, workspace.bytes, workspaceSize, CollectBytes, &collected) ==
                          EntryStreamDone &&
                      block.size() == blockSize;
        }
        if (!decoded) {
            *error = "damaged entry table: the compressed table does not decode to " +
                     std::to_string(header.entryCount) + " records";
            return 0;
        }
    }
    ArchiveTable* opened = reinterpret_cast<ArchiveTable*>(block.data());
    GateEntryMethods(opened);
    archive->dataOffsets.resize(header.entryCount);
    uint64_t offset = ArchiveHeaderSize;
    for (uint32_t i = 0; i < header.entryCount; i++) {
        archive->dataOffsets[i] = offset;
        offset += PaddedStoredSize(ArchiveTableEntries(opened)[i].storedSize);
    }
    return 1;
}

// Header checks and the table's place, before anything is allocated for it.
int LocateTable(const unsigned char* headerBytes, uint64_t archiveSize, ArchiveHeader* header, uint32_t* tableLength,
                std::string* error)
{
    if (archiveSize < ArchiveHeaderSize) {
        *error = "too short for an FA2 archive";
        return 0;
    }
    ReadArchiveHeader(headerBytes, header);
    if (!HasArchiveMagic(header)) {
        *error = "not an FA2 archive";
        return 0;
    }
    uint32_t blockSize;
    if (!ArchiveTableBlockSize(header->entryCount, &blockSize)) {
        *error = "damaged entry table: entry count " + std::to_string(header->entryCount) + " is too large";
        return 0;
    }
    if (!LocateArchiveTable(header, archiveSize, tableLength)) {
        *error = "damaged entry table: it does not fit at offset " + std::to_string(header->tableOffset) +
                 " of a " + std::to_string(archiveSize) + "-byte archive";
        return 0;
    }
    return 1;
}

int ReadAt(FILE* file, uint64_t offset, unsigned char* bytes, size_t count)
{
    return SeekFile(file, offset) && fread(bytes, 1, count, file) == count;
}

// Where the archive lies in the file: all of it, or an updater's payload; and the sums beside a payload.
int LocatePayload(const std::string& path, LoadedArchive* archive, uint64_t fileSize, std::string* error)
{
    unsigned char start[64] = {0};
    size_t got = (size_t)(fileSize < sizeof start ? fileSize : sizeof start);
    if (!ReadAt(archive->file, 0, start, got)) {
        *error = path + ": read error";
        return 0;
    }
    archive->base = 0;
    archive->size = fileSize;
    if (got < 2 || start[0] != 'M' || start[1] != 'Z')
        return 1;
    if (!FindPeResourceInFile(archive->file, fileSize, PayloadType, PayloadId, &archive->base, &archive->size,
                              error)) {
        *error = path + ": " + *error;
        return 0;
    }
    uint64_t sumsAt, sumsSize;
    std::string ignored;
    if (!FindPeResourceInFile(archive->file, fileSize, PayloadType, PayloadSumsId, &sumsAt, &sumsSize, &ignored))
        return 1;
    archive->hasSums = 1;
    archive->sumsBytes.resize((size_t)sumsSize);
    if (sumsSize > (64u << 20) || !ReadAt(archive->file, sumsAt, archive->sumsBytes.data(), (size_t)sumsSize)) {
        archive->sumsState = PayloadSumsDamaged;
        return 1;
    }
    archive->sumsState = ReadPayloadSums(archive->sumsBytes.data(), archive->sumsBytes.size(), &archive->sums);
    return 1;
}

const char BadLzmaHeader[] =
    "malformed compressed data (its LZMA header is not valid or names a dictionary over 8 MiB)";

// An entry's stored bytes read from the archive file as the decoder asks for them.
struct FileSource {
    const LoadedArchive* archive;
    uint64_t offset;  // of the entry's stored bytes in the archive
};

int FetchFromFile(void* context, uint32_t offset, unsigned char* bytes, size_t count)
{
    const FileSource* source = (const FileSource*)context;
    return ReadAt(source->archive->file, source->archive->base + source->offset + offset, bytes, count);
}

// Pieces of a megabyte from the file: memory stays the same whatever the entry's size.
const EntryPieces FilePieces = {192u << 10, PlainPiece};

const char BadDeltaHeader[] = "damaged delta (its header or its body's parameters are not valid)";

// A delta entry from memory or from a source; the old file through `old`.
EntryStreamResult StreamDelta(const ArchiveEntry* entry, const unsigned char* stored, const StoredSource* source,
                              const OldFileReader* old, EntryOutput output, void* context, std::string* error)
{
    if (!old) {
        *error = "a delta entry: it needs the old file (--from)";
        return EntryStreamDamaged;
    }
    size_t workspaceSize;
    int sized = source ? DeltaSourceWorkspaceSize(entry, source, &FilePieces, &workspaceSize)
                       : DeltaWorkspaceSize(entry, stored, &workspaceSize);
    if (!sized) {
        *error = BadDeltaHeader;
        return EntryStreamDamaged;
    }
    Workspace workspace(workspaceSize);
    EntryStreamResult result =
        source ? StreamDeltaFromSource(entry, source, &FilePieces, old, workspace.bytes, workspaceSize, output, context)
               : StreamDeltaEntry(entry, stored, old, workspace.bytes, workspaceSize, output, context);
    if (result == EntryStreamOldUnreadable)
        *error = "read error in the old file";
    else if (result == EntryStreamDamaged)
        *error = "damaged delta: its commands do not make the file";
    return result;
}

// The entry through the decoder, from memory or from the file; its workspace is taken here.
EntryStreamResult StreamFrom(const LoadedArchive& archive, const ArchiveEntry* entry, uint64_t offset,
                             const OldFileReader* old, EntryOutput output, void* context, std::string* error)
{
    if (!archive.file) {
        static const unsigned char none = 0;  // an empty entry's stored bytes: none, but somewhere
        const unsigned char* stored = entry->storedSize == 0 ? &none : archive.image.data() + offset;
        if (EntryMethodOf(entry) == EntryMethodDelta)
            return StreamDelta(entry, stored, nullptr, old, output, context, error);
        size_t workspaceSize;
        if (!EntryWorkspaceSize(entry, stored, &workspaceSize)) {
            *error = BadLzmaHeader;
            return EntryStreamDamaged;
        }
        Workspace workspace(workspaceSize);
        return StreamEntry(entry, stored, workspace.bytes, workspaceSize, output, context);
    }
    unsigned char head[8] = {0};
    FileSource file = {&archive, offset};
    StoredSource source = {FetchFromFile, &file, head};
    size_t headSize = entry->storedSize < sizeof head ? entry->storedSize : sizeof head;
    size_t workspaceSize;
    if (!FetchFromFile(&file, 0, head, headSize)) {
        *error = "read error";
        return EntryStreamUnreadable;
    }
    if (EntryMethodOf(entry) == EntryMethodDelta)
        return StreamDelta(entry, nullptr, &source, old, output, context, error);
    if (!SourceWorkspaceSize(entry, &source, &FilePieces, &workspaceSize)) {
        *error = BadLzmaHeader;
        return EntryStreamDamaged;
    }
    Workspace workspace(workspaceSize);
    EntryStreamResult result =
        StreamEntryFromSource(entry, &source, &FilePieces, workspace.bytes, workspaceSize, output, context);
    if (result == EntryStreamUnreadable)
        *error = "read error";
    return result;
}

}  // namespace

LoadedArchive::~LoadedArchive()
{
    if (file)
        fclose(file);
}

int LoadArchiveInput(const std::string& path, std::vector<unsigned char>* bytes, std::string* error)
{
    if (!ReadWholeFile(path, bytes, error))
        return 0;
    // An updater executable carries its archive as resource UPDATE/102.
    if (LooksLikePeImage(bytes->data(), bytes->size())) {
        size_t at = 0, length = 0;
        if (!FindPeResource(bytes->data(), bytes->size(), PayloadType, PayloadId, &at, &length, error)) {
            *error = path + ": " + *error;
            return 0;
        }
        std::vector<unsigned char> payload(bytes->begin() + at, bytes->begin() + at + length);
        bytes->swap(payload);
    }
    return 1;
}

int OpenLoadedArchive(std::vector<unsigned char>* image, LoadedArchive* archive, std::string* error)
{
    archive->image.swap(*image);
    archive->size = archive->image.size();
    ArchiveHeader header;
    uint32_t tableLength;
    if (!LocateTable(archive->image.data(), archive->size, &header, &tableLength, error))
        return 0;
    return LoadTable(archive, header, archive->image.data() + header.tableOffset, tableLength, error);
}

int OpenArchiveFile(const std::string& path, LoadedArchive* archive, std::string* error)
{
    std::error_code code;
    uint64_t fileSize = fs::file_size(fs::u8path(path), code);
    if (code) {
        *error = path + ": " + code.message();
        return 0;
    }
    archive->file = OpenFileForReading(path, error);
    if (!archive->file || !LocatePayload(path, archive, fileSize, error))
        return 0;
    unsigned char headerBytes[ArchiveHeaderSize] = {0};
    ArchiveHeader header;
    uint32_t tableLength;
    if (archive->size >= ArchiveHeaderSize && !ReadAt(archive->file, archive->base, headerBytes, sizeof headerBytes)) {
        *error = path + ": read error";
        return 0;
    }
    if (!LocateTable(headerBytes, archive->size, &header, &tableLength, error)) {
        *error = path + ": " + *error;
        return 0;
    }
    std::vector<unsigned char> tableBytes(tableLength);
    if (!ReadAt(archive->file, archive->base + header.tableOffset, tableBytes.data(), tableLength)) {
        *error = path + ": read error";
        return 0;
    }
    if (!LoadTable(archive, header, tableBytes.data(), tableLength, error)) {
        *error = path + ": " + *error;
        return 0;
    }
    return 1;
}

std::string EntryName(const ArchiveEntry* entry)
{
    const void* end = memchr(entry->name, 0, ArchiveNameSize);
    size_t length = end ? (size_t)((const char*)end - entry->name) : ArchiveNameSize;
    return std::string(entry->name, length);
}

int StreamLoadedEntry(const LoadedArchive& archive, uint32_t index, EntryOutput output, void* context,
                      uint32_t* sum, std::string* error, const OldFileReader* old)
{
    const ArchiveEntry* entry = LoadedEntry(archive, index);
    uint64_t offset = archive.dataOffsets[index];
    if (!CheckEntryData(entry, offset, archive.size)) {
        if (offset > archive.size || archive.size - offset < entry->storedSize)
            *error = "its data lies past the end of the archive";
        else if (EntryMethodOf(entry) == EntryMethodUnknown)
            *error = "it is marked with more than one method";
        else if (EntryMethodOf(entry) == EntryMethodDelta)
            *error = "its delta is too short for its header";
        else if (!EntryNeedsDecoding(entry))
            *error = "stored entry whose unpacked size differs from its stored size";
        else
            *error = "its compressed data is too short for its unpacked size";
        return 0;
    }
    Summed summed = {output, context, 0};
    error->clear();
    EntryStreamResult result = StreamFrom(archive, entry, offset, old, SumAndPass, &summed, error);
    *sum = summed.sum;
    if (result == EntryStreamDamaged || result == EntryStreamUnreadable || result == EntryStreamOldUnreadable) {
        if (error->empty())
            *error = "malformed compressed data";
        return 0;
    }
    if (result == EntryStreamStopped) {
        error->clear();
        return 0;
    }
    return 1;
}

int DecodeLoadedEntry(const LoadedArchive& archive, uint32_t index, std::vector<unsigned char>* data,
                      std::string* error)
{
    std::vector<unsigned char> bytes;
    Collected collected = {&bytes, LoadedEntry(archive, index)->unpackedSize};
    uint32_t sum;
    if (!StreamLoadedEntry(archive, index, CollectBytes, &collected, &sum, error))
        return 0;
    data->swap(bytes);
    return 1;
}

int ReadOldFileAt(void* context, uint64_t offset, unsigned char* bytes, size_t count)
{
    const OldFileInput* old = (const OldFileInput*)context;
    if (!old->file) {
        memset(bytes, 0, count);
        return 1;
    }
    return offset <= old->size && old->size - offset >= count && ReadAt(old->file, offset, bytes, count);
}

OldFileInput::~OldFileInput()
{
    if (file)
        fclose(file);
}

int OpenOldFile(const std::string& path, OldFileInput* old, std::string* error)
{
    std::error_code code;
    old->size = fs::file_size(fs::u8path(path), code);
    if (code) {
        *error = path + ": " + code.message();
        return 0;
    }
    old->file = OpenFileForReading(path, error);
    return old->file != nullptr;
}

OldFileReader OldFileReaderOf(OldFileInput* old) { return OldFileReader{ReadOldFileAt, old}; }

int LoadedDeltaBase(const LoadedArchive& archive, uint32_t index, DeltaBase* base)
{
    const ArchiveEntry* entry = LoadedEntry(archive, index);
    uint64_t offset = archive.dataOffsets[index];
    if (EntryMethodOf(entry) != EntryMethodDelta || !CheckEntryData(entry, offset, archive.size))
        return 0;
    unsigned char head[DeltaHeaderSize];
    if (archive.file) {
        if (!ReadAt(archive.file, archive.base + offset, head, sizeof head))
            return 0;
    } else {
        memcpy(head, archive.image.data() + offset, sizeof head);
    }
    return ReadDeltaBase(entry, head, base);
}

std::string CheckOldFile(const LoadedArchive& archive, uint32_t index, const std::string& path)
{
    DeltaBase base;
    if (!LoadedDeltaBase(archive, index, &base))
        return BadDeltaHeader;
    OldFileInput old;
    std::string error;
    if (!OpenOldFile(path, &old, &error))
        return "its old file is missing (" + error + "); this update is for the version it was built from";
    OldFileReader reader = OldFileReaderOf(&old);
    std::vector<unsigned char> buffer(PlainPiece);
    switch (CheckDeltaOldFile(&base, old.size, &reader, buffer.data(), buffer.size())) {
    case OldFileMatches: return "";
    case OldFileUnreadable: return path + ": read error";
    default:
        return path + " is not the file this update was built from (" + std::to_string(old.size) + " bytes, " +
               "the update needs " + std::to_string(base.oldSize) + " bytes with its SHA-256)";
    }
}

std::string CheckTableSums(const LoadedArchive& archive)
{
    if (!archive.hasSums || archive.sumsState == PayloadSumsUnknownVersion)
        return "";
    if (archive.sumsState != PayloadSumsRead)
        return "the checksums (resource UPDATE/103) are damaged";
    if (!PayloadSumsMatchArchive(&archive.sums, LoadedTable(archive), archive.size))
        return "the entry table does not match its checksum";
    return "";
}
