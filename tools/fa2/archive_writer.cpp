#include "archive_writer.h"

#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "archive/archive_format.h"
#include "file_io.h"
#include "support/crc32.h"

namespace fs = std::filesystem;

namespace {

const size_t ReadPiece = 1u << 20;
const uint64_t MostArchiveBytes = 0xFFFFFFFFu;  // offsets, sizes and the payload resource are 32 bits

int CheckEntryName(const std::string& name, std::string* error)
{
    if (name.empty()) {
        *error = "an entry name is empty";
        return 0;
    }
    if (name.size() >= ArchiveNameSize) {
        *error = "entry name longer than 259 bytes: " + name;
        return 0;
    }
    if (memchr(name.data(), 0, name.size())) {
        *error = "entry name contains a NUL byte";
        return 0;
    }
    return 1;
}

void Progress(const ArchiveWriter* writer, uint64_t bytesDone)
{
    if (writer->options.progress)
        writer->options.progress(writer->options.progressContext, writer->sums.size(), bytesDone);
}

// Appends the entry's record and moves on past its padded data.
int AddRecord(ArchiveWriter* writer, const std::string& name, uint64_t fileTime, int compressed, int scramble,
              uint64_t unpackedSize, uint64_t storedSize, uint32_t sum, std::string* error)
{
    if (writer->size + PaddedStoredSize((uint32_t)storedSize) > MostArchiveBytes) {
        *error = "archive larger than 4 GiB";
        return 0;
    }
    if (!SinkZeros(writer->sink, PaddedStoredSize((uint32_t)storedSize) - storedSize)) {
        *error = "write error";
        return 0;
    }
    ArchiveEntry record;
    memset(&record, 0, sizeof record);
    memcpy(record.name, name.data(), name.size());
    record.storage = compressed ? EntryStorageCompressed : EntryStorageStored;
    record.scramble = scramble ? EntryScrambled : 0;
    record.fileTime.lowDateTime = (uint32_t)fileTime;
    record.fileTime.highDateTime = (uint32_t)(fileTime >> 32);
    record.unpackedSize = (uint32_t)unpackedSize;
    record.storedSize = (uint32_t)storedSize;
    const unsigned char* bytes = (const unsigned char*)&record;
    writer->records.insert(writer->records.end(), bytes, bytes + sizeof record);
    writer->sums.push_back(sum);
    writer->size += PaddedStoredSize(record.storedSize);
    writer->inputBytes += unpackedSize;
    writer->compressedEntries += compressed;
    writer->scrambledEntries += scramble ? 1 : 0;
    Progress(writer, writer->inputBytes);
    return 1;
}

// A file whose bytes go in as they are: copied a piece at a time, summed on the way.
int CopyPlainFile(ArchiveWriter* writer, const std::string& name, FILE* file, const std::string& path,
                  uint64_t size, uint64_t fileTime, std::string* error)
{
    std::vector<unsigned char> piece((size_t)(size < ReadPiece ? size : ReadPiece));
    uint32_t sum = 0;
    for (uint64_t done = 0; done < size;) {
        size_t want = (size_t)(size - done < piece.size() ? size - done : piece.size());
        if (fread(piece.data(), 1, want, file) != want) {
            *error = path + ": read error (did the file change while packing?)";
            return 0;
        }
        sum = Crc32Update(sum, piece.data(), want);
        if (!SinkWrite(writer->sink, piece.data(), want)) {
            *error = "write error";
            return 0;
        }
        done += want;
        Progress(writer, writer->inputBytes + done);
    }
    return AddRecord(writer, name, fileTime, 0, 0, size, size, sum, error);
}

// A whole file into `data`.
int ReadFileInto(FILE* file, const std::string& path, std::vector<unsigned char>* data, std::string* error)
{
    for (size_t done = 0; done < data->size();) {
        size_t want = data->size() - done < ReadPiece ? data->size() - done : ReadPiece;
        if (fread(data->data() + done, 1, want, file) != want) {
            *error = path + ": read error (did the file change while packing?)";
            return 0;
        }
        done += want;
    }
    return 1;
}

}  // namespace

int StartArchive(ArchiveWriter* writer, const ByteSink& sink, const WriterOptions& options)
{
    writer->sink = sink;
    writer->options = options;
    writer->size = ArchiveHeaderSize;
    writer->inputBytes = 0;
    writer->records.clear();
    writer->sums.clear();
    writer->tableSum = 0;
    writer->compressedEntries = 0;
    writer->scrambledEntries = 0;
    writer->tableCompressed = 0;
    return SinkZeros(sink, ArchiveHeaderSize);
}

int AddArchiveEntry(ArchiveWriter* writer, const std::string& name, unsigned char* data, size_t size,
                    uint64_t fileTime, PackMode storage, int scramble, std::string* error)
{
    if (!CheckEntryName(name, error))
        return 0;
    if ((uint64_t)size > MostArchiveBytes) {
        *error = "entry larger than 4 GiB: " + name;
        return 0;
    }
    uint32_t sum = Crc32Update(0, data, size);
    std::vector<unsigned char> block;
    int compressed = 0;
    if (storage != PackStore) {
        if (writer->options.compressing)
            writer->options.compressing(writer->options.progressContext, writer->inputBytes);
        block = EncodeBlock(data, size, writer->options.level);
        compressed = storage == PackCompressAlways || block.size() < size;
        if (!compressed)
            std::vector<unsigned char>().swap(block);
    }
    unsigned char* stored = compressed ? block.data() : data;
    size_t storedSize = compressed ? block.size() : size;
    if ((uint64_t)storedSize > MostArchiveBytes) {
        *error = "compressed entry larger than 4 GiB: " + name;
        return 0;
    }
    if (scramble)
        DescrambleEntry(stored, (uint32_t)storedSize);  // its own inverse
    if (!SinkWrite(writer->sink, stored, storedSize)) {
        *error = "write error";
        return 0;
    }
    return AddRecord(writer, name, fileTime, compressed, scramble, size, storedSize, sum, error);
}

int AddArchiveFile(ArchiveWriter* writer, const std::string& name, const std::string& path, uint64_t fileTime,
                   PackMode storage, int scramble, std::string* error)
{
    if (!CheckEntryName(name, error))
        return 0;
    std::error_code code;
    uint64_t size = fs::file_size(fs::u8path(path), code);
    if (code) {
        *error = path + ": " + code.message();
        return 0;
    }
    if (size > MostArchiveBytes) {
        *error = path + ": larger than 4 GiB, more than an archive entry can hold";
        return 0;
    }
    FILE* file = OpenFileForReading(path, error);
    if (!file)
        return 0;
    int ok;
    if (storage == PackStore && !scramble) {
        ok = CopyPlainFile(writer, name, file, path, size, fileTime, error);
    } else {
        // A 32-bit tool has room for about 2 GiB of blocks: a file and its compressed form must both fit.
        try {
            std::vector<unsigned char> data((size_t)size);
            ok = ReadFileInto(file, path, &data, error) &&
                 AddArchiveEntry(writer, name, data.data(), data.size(), fileTime, storage, scramble, error);
        } catch (const std::bad_alloc&) {
            *error = path + ": " + std::to_string(size / 1000000) + " MB is more than this fa2 can hold in memory " +
                     "to compress (about twice the file); build it with the 64-bit fa2 on Linux, or store it with " +
                     "--store";
            ok = 0;
        }
    }
    fclose(file);
    return ok;
}

int FinishArchive(ArchiveWriter* writer, std::string* error)
{
    uint32_t count = (uint32_t)(writer->records.size() / ArchiveEntrySize);
    if (writer->records.size() / ArchiveEntrySize > 0xFFFFFFFFu / ArchiveEntrySize) {
        *error = "too many entries";
        return 0;
    }
    std::vector<unsigned char> block;
    const std::vector<unsigned char>& records = writer->records;
    if (writer->options.table != PackStore) {
        block = EncodeBlock(records.data(), records.size(), writer->options.level);
        writer->tableCompressed = writer->options.table == PackCompressAlways || block.size() < records.size();
    }
    const std::vector<unsigned char>& table = writer->tableCompressed ? block : records;
    if (writer->size + table.size() > MostArchiveBytes) {
        *error = "archive larger than 4 GiB";
        return 0;
    }
    ArchiveHeader header;
    header.magic = ArchiveMagic;
    header.flags = writer->tableCompressed ? ArchiveFlagTableCompressed : 0;
    header.tableOffset = (uint32_t)writer->size;
    header.entryCount = count;
    if (!SinkWrite(writer->sink, table.data(), table.size()) ||
        !writer->sink.patch(writer->sink.context, 0, (const unsigned char*)&header, sizeof header)) {
        *error = "write error";
        return 0;
    }
    writer->size += table.size();
    writer->tableSum = Crc32Update(Crc32Update(0, &header, sizeof header), records.data(), records.size());
    return 1;
}

int WriteArchive(const std::vector<WriterEntry>& entries, const WriterOptions& options,
                 std::vector<unsigned char>* out, std::string* error)
{
    std::vector<unsigned char> archive;
    ArchiveWriter writer;
    StartArchive(&writer, VectorSink(&archive), options);
    for (const WriterEntry& entry : entries) {
        std::vector<unsigned char> data(entry.data);
        if (!AddArchiveEntry(&writer, entry.name, data.data(), data.size(), entry.fileTime, entry.storage,
                             entry.scramble, error))
            return 0;
    }
    if (!FinishArchive(&writer, error))
        return 0;
    out->swap(archive);
    return 1;
}
