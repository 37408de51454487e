#include "archive_reader.h"

#include <cstring>

#include "archive/entry_stream.h"
#include "file_io.h"
#include "pe_resources.h"

int LoadArchiveInput(const std::string& path, std::vector<unsigned char>* bytes, std::string* error)
{
    if (!ReadWholeFile(path, bytes, error))
        return 0;
    // An updater executable carries its archive as resource UPDATE/102.
    if (LooksLikePeImage(bytes->data(), bytes->size())) {
        size_t at = 0, length = 0;
        if (!FindPeResource(bytes->data(), bytes->size(), "UPDATE", 102, &at, &length, error)) {
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
    const std::vector<unsigned char>& bytes = archive->image;
    if (bytes.size() < ArchiveHeaderSize) {
        *error = "too short for an FA2 archive";
        return 0;
    }
    ArchiveHeader header;
    ReadArchiveHeader(bytes.data(), &header);
    if (!HasArchiveMagic(&header)) {
        *error = "not an FA2 archive";
        return 0;
    }
    uint32_t blockSize, tableLength;
    if (!ArchiveTableBlockSize(header.entryCount, &blockSize)) {
        *error = "damaged entry table: entry count " + std::to_string(header.entryCount) + " is too large";
        return 0;
    }
    if (!LocateArchiveTable(&header, bytes.size(), &tableLength)) {
        *error = "damaged entry table: it does not fit at offset " + std::to_string(header.tableOffset) +
                 " of a " + std::to_string(bytes.size()) + "-byte archive";
        return 0;
    }
    archive->tableBlock.assign(blockSize, 0);
    ArchiveTable* table = reinterpret_cast<ArchiveTable*>(archive->tableBlock.data());
    if (!FillArchiveTable(table, blockSize, bytes.data(), bytes.size())) {
        *error = "damaged entry table: the compressed table does not decode to " +
                 std::to_string(header.entryCount) + " records";
        return 0;
    }
    archive->dataOffsets.resize(header.entryCount);
    uint64_t offset = ArchiveHeaderSize;
    for (uint32_t i = 0; i < header.entryCount; i++) {
        archive->dataOffsets[i] = offset;
        offset += PaddedStoredSize(ArchiveTableEntries(table)[i].storedSize);
    }
    return 1;
}

std::string EntryName(const ArchiveEntry* entry)
{
    const void* end = memchr(entry->name, 0, ArchiveNameSize);
    size_t length = end ? (size_t)((const char*)end - entry->name) : ArchiveNameSize;
    return std::string(entry->name, length);
}

static int AppendPiece(void* context, const unsigned char* bytes, size_t count)
{
    std::vector<unsigned char>* data = (std::vector<unsigned char>*)context;
    data->insert(data->end(), bytes, bytes + count);
    return 1;
}

int DecodeLoadedEntry(const LoadedArchive& archive, uint32_t index, std::vector<unsigned char>* data,
                      std::string* error)
{
    const ArchiveEntry* entry = LoadedEntry(archive, index);
    uint64_t offset = archive.dataOffsets[index];
    uint64_t imageSize = archive.image.size();
    if (!CheckEntryData(entry, offset, imageSize)) {
        if (offset > imageSize || imageSize - offset < entry->storedSize)
            *error = "its data lies past the end of the archive";
        else if (EntryMethodOf(entry) == EntryMethodUnknown)
            *error = "it is marked with both compression methods";
        else if (!EntryNeedsDecoding(entry))
            *error = "stored entry whose unpacked size differs from its stored size";
        else
            *error = "its compressed data is too short for its unpacked size";
        return 0;
    }
    // Decoded as the updater decodes it, in pieces through the same workspace.
    const unsigned char* stored = archive.image.data() + offset;
    size_t size;
    if (!EntryWorkspaceSize(entry, stored, &size)) {
        *error = "malformed compressed data (its LZMA header is not valid)";
        return 0;
    }
    std::vector<unsigned char> workspace(size);
    data->clear();
    data->reserve(entry->unpackedSize);
    if (StreamEntry(entry, stored, workspace.data(), workspace.size(), AppendPiece, data) != EntryStreamDone) {
        *error = "malformed compressed data";
        return 0;
    }
    return 1;
}
