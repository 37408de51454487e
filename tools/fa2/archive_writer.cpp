#include "archive_writer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/archive_format.h"
#include "archive/delta_format.h"
#include "delta_encoder.h"
#include "file_io.h"
#include "lzma_encoder.h"
#include "support/crc32.h"
#include "support/little_endian.h"

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

// `data` in the build's compression method.
int EncodeBytes(const unsigned char* data, size_t size, const WriterOptions& options,
                std::vector<unsigned char>* encoded, std::string* error)
{
    if (options.codec == CodecLzma)
        return EncodeLzma(data, size, options.level, encoded, error);
    *encoded = EncodeBlock(data, size, options.level);
    return 1;
}

void Progress(const ArchiveWriter* writer, uint64_t bytesDone)
{
    if (writer->options.progress)
        writer->options.progress(writer->options.progressContext, writer->sums.size(), bytesDone);
}

// Appends the entry's record and moves on past its padded data.
int AddRecord(ArchiveWriter* writer, const std::string& name, uint64_t fileTime, int compressed, int scramble,
              uint64_t unpackedSize, uint64_t storedSize, uint32_t sum, std::string* error,
              unsigned char storage = 0)
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
    record.storage = storage                                  ? storage
                     : !compressed                             ? EntryStorageStored
                     : writer->options.codec == CodecLzma ? EntryStorageLzma
                                                           : EntryStorageCompressed;
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
    writer->compressedEntries += compressed && storage != EntryStorageDelta;
    writer->deltaEntries += storage == EntryStorageDelta;
    writer->scrambledEntries += scramble ? 1 : 0;
    Progress(writer, writer->inputBytes);
    return 1;
}

std::string ChangedWhilePacking(const std::string& path)
{
    return path + ": changed while it was packed; build again when nothing writes to it";
}

// Only `size` bytes were read: a file that grew, or was written over in place, shows in its size or time.
int UnchangedSince(const std::string& path, uint64_t size, uint64_t timeBefore, std::string* error)
{
    std::error_code code;
    uint64_t timeAfter = 0, sizeAfter = fs::file_size(fs::u8path(path), code);
    if (code || sizeAfter != size || !GetFileTimeValue(path, &timeAfter, error) || timeAfter != timeBefore) {
        *error = ChangedWhilePacking(path);
        return 0;
    }
    return 1;
}

// A file read for its entry, summed on the way; a short read is an error that names it.
struct FileInput {
    FILE* file;
    std::string what;
    uint32_t sum;
    std::string error;
};

int ReadFileInput(void* context, unsigned char* bytes, size_t count)
{
    FileInput* input = (FileInput*)context;
    if (fread(bytes, 1, count, input->file) != count) {
        input->error = input->what + ": read error (did the file change while packing?)";
        return 0;
    }
    input->sum = Crc32Update(input->sum, bytes, count);
    return 1;
}

// `size` bytes of the input into the sink a piece at a time, scrambled when `key` is given. Pieces are whole
// words, so the scrambling comes out as for the entry in one piece.
int CopyPieces(ArchiveWriter* writer, FileInput* input, uint64_t size, ScrambleKey* key, int showProgress,
               std::string* error)
{
    std::vector<unsigned char> piece((size_t)(size < ReadPiece ? size : ReadPiece));
    for (uint64_t done = 0; done < size;) {
        size_t want = (size_t)(size - done < piece.size() ? size - done : piece.size());
        if (!ReadFileInput(input, piece.data(), want)) {
            *error = input->error;
            return 0;
        }
        if (key)
            DescramblePiece(key, piece.data(), want);  // its own inverse
        if (!SinkWrite(writer->sink, piece.data(), want)) {
            *error = "write error";
            return 0;
        }
        done += want;
        if (showProgress)
            Progress(writer, writer->inputBytes + done);
    }
    return 1;
}

// A file whose bytes go in as they are (scrambled when asked).
int StoreFile(ArchiveWriter* writer, const std::string& name, FILE* file, const std::string& path, uint64_t size,
              uint64_t fileTime, int scramble, std::string* error)
{
    FileInput input = {file, path, 0, ""};
    ScrambleKey key;
    StartDescramble(&key, (uint32_t)size);
    if (!CopyPieces(writer, &input, size, scramble ? &key : nullptr, 1, error))
        return 0;
    return AddRecord(writer, name, fileTime, 0, scramble, size, size, input.sum, error);
}

// `size` bytes of the input in the build's compression method into `scratch`; `encodedSize` tells how many bytes
// the entry would take.
int EncodeFileToScratch(const WriterOptions& options, FILE* scratch, FileInput* input, uint64_t size,
                        uint64_t* encodedSize, std::string* error)
{
    if (!scratch || !SeekFile(scratch, 0)) {
        *error = "no temporary file to compress into";
        return 0;
    }
    int ok = options.codec == CodecLzma
                 ? EncodeLzmaStream((size_t)size, options.level, ReadFileInput, input, FileSink(scratch),
                                    encodedSize, error)
                 : EncodeBlockStream((size_t)size, options.level, ReadFileInput, input, FileSink(scratch),
                                     encodedSize);
    if (!ok)
        *error = !input->error.empty() ? input->error : !error->empty() ? *error : "write error in a temporary file";
    return ok;
}

// The prepared file's encoded bytes, from its scratch file into the archive.
int CommitEncoded(ArchiveWriter* writer, const std::string& name, const PreparedFile& prepared, uint64_t fileTime,
                  int scramble, std::string* error)
{
    FileInput back = {prepared.scratch, "a temporary file", 0, ""};
    ScrambleKey key;
    StartDescramble(&key, (uint32_t)prepared.encodedSize);
    if (!SeekFile(back.file, 0)) {
        *error = "cannot read back a temporary file";
        return 0;
    }
    if (!CopyPieces(writer, &back, prepared.encodedSize, scramble ? &key : nullptr, 0, error))
        return 0;
    return AddRecord(writer, name, fileTime, 1, scramble, prepared.size, prepared.encodedSize, prepared.sum, error);
}

// The file read (again) into the archive as it is; its bytes must be those an earlier read saw.
int CommitStored(ArchiveWriter* writer, const std::string& name, const PreparedFile& prepared, uint64_t fileTime,
                 int scramble, std::string* error)
{
    FILE* file = OpenFileForReading(prepared.path, error);
    if (!file)
        return 0;
    int ok = StoreFile(writer, name, file, prepared.path, prepared.size, fileTime, scramble, error);
    fclose(file);
    if (ok && prepared.readBefore && writer->sums.back() != prepared.sum) {
        *error = ChangedWhilePacking(prepared.path);
        return 0;
    }
    return ok;
}

// A sink that takes `limit` bytes and then refuses: a whole entry that is already no smaller than the delta
// need not be compressed to its end.
struct LimitedSink {
    ByteSink inner;
    uint64_t written;
    uint64_t limit;
    int reached;
};

int WriteLimited(void* context, const unsigned char* bytes, size_t count)
{
    LimitedSink* s = (LimitedSink*)context;
    if (s->written + count > s->limit) {
        s->reached = 1;
        return 0;
    }
    s->written += count;
    return SinkWrite(s->inner, bytes, count);
}

// The size of the whole entry `path` would take (compressed into the scratch file, or stored). Compression
// stops once it passes min(size, limit): past that the answer is the stored size, which then compares with
// `limit` as the true one would.
int WholeEntrySize(ArchiveWriter* writer, const std::string& path, uint64_t size, uint64_t limit,
                   uint64_t* wholeSize, std::string* error)
{
    *wholeSize = size;
    if (!SeekFile(writer->options.scratch, 0)) {
        *error = "no temporary file to compress into";
        return 0;
    }
    FILE* file = OpenFileForReading(path, error);
    if (!file)
        return 0;
    FileInput input = {file, path, 0, ""};
    LimitedSink limited = {FileSink(writer->options.scratch), 0, size < limit ? size : limit, 0};
    ByteSink sink = {WriteLimited, nullptr, &limited};
    uint64_t encoded = 0;
    int ok = writer->options.codec == CodecLzma
                 ? EncodeLzmaStream((size_t)size, writer->options.level, ReadFileInput, &input, sink, &encoded, error)
                 : EncodeBlockStream((size_t)size, writer->options.level, ReadFileInput, &input, sink, &encoded);
    fclose(file);
    if (limited.reached)
        return 1;
    if (!ok) {
        *error = !input.error.empty() ? input.error : !error->empty() ? *error : "write error in a temporary file";
        return 0;
    }
    if (encoded < *wholeSize)
        *wholeSize = encoded;
    return 1;
}

void Step(ArchiveWriter* writer, const char* step)
{
    if (writer->options.step)
        writer->options.step(writer->options.progressContext, step);
}

// The delta's body into deltaBody, then compressed into deltaStored; says which of the two to ship.
struct PreparedDelta {
    DeltaEncodeResult encoded;
    uint64_t newSize, oldSize;
    uint64_t bodyStored;  // bytes the body takes in the entry
    int bodyCompressed;
};

int PrepareDelta(ArchiveWriter* writer, const std::string& path, const std::string& oldPath, PreparedDelta* d,
                 std::string* error)
{
    const WriterOptions& o = writer->options;
    if (!o.deltaBody || !o.deltaStored || !SeekFile(o.deltaBody, 0) || !SeekFile(o.deltaStored, 0)) {
        *error = "no temporary files to make a delta in";
        return 0;
    }
    FILE* newFile = OpenFileForReading(path, error);
    if (!newFile)
        return 0;
    FILE* oldFile = OpenFileForReading(oldPath, error);
    if (!oldFile) {
        fclose(newFile);
        return 0;
    }
    if (writer->options.compressing)
        writer->options.compressing(writer->options.progressContext, writer->inputBytes);
    Step(writer, "reading the old file, matching");
    int ok = EncodeDelta(oldFile, d->oldSize, newFile, d->newSize, FileSink(o.deltaBody), &d->encoded, error);
    fclose(newFile);
    fclose(oldFile);
    if (!ok) {
        *error = path + " against " + oldPath + ": " + *error;
        return 0;
    }
    if (!SeekFile(o.deltaBody, 0))
        return 0;
    FileInput body = {o.deltaBody, "a temporary file", 0, ""};
    uint64_t encoded = 0;
    Step(writer, "compressing the delta");
    if (!EncodeFileToScratch(o, o.deltaStored, &body, d->encoded.bodySize, &encoded, error))
        return 0;
    d->bodyCompressed = encoded < d->encoded.bodySize;
    d->bodyStored = d->bodyCompressed ? encoded : d->encoded.bodySize;
    return 1;
}

// The delta's stored bytes (header, then the body from its temporary file), scrambled as one entry when asked.
int WriteDelta(ArchiveWriter* writer, const std::string& name, const PreparedDelta& d, uint64_t fileTime,
               int scramble, int withWhole, std::string* error)
{
    uint64_t storedSize = DeltaHeaderSize + d.bodyStored;
    if (storedSize > MostArchiveBytes) {
        *error = "delta entry larger than 4 GiB: " + name;
        return 0;
    }
    unsigned char header[DeltaHeaderSize] = {0};
    memcpy(header, DeltaMark, sizeof DeltaMark);
    StoreLe32(header + 4, (uint32_t)d.oldSize);
    memcpy(header + 8, d.encoded.oldSha256, Sha256Size);
    header[40] = !d.bodyCompressed ? EntryStorageStored
                 : writer->options.codec == CodecLzma ? EntryStorageLzma
                                                      : EntryStorageCompressed;
    header[41] = withWhole ? DeltaHasWhole : 0;
    header[42] = DeltaLayoutApproximate;  // all EncodeDelta writes
    StoreLe32(header + 44, (uint32_t)d.encoded.bodySize);
    ScrambleKey key;
    StartDescramble(&key, (uint32_t)storedSize);
    if (scramble)
        DescramblePiece(&key, header, sizeof header);  // whole words: the key runs on into the body
    FILE* bodyFile = d.bodyCompressed ? writer->options.deltaStored : writer->options.deltaBody;
    FileInput body = {bodyFile, "a temporary file", 0, ""};
    if (!SinkWrite(writer->sink, header, sizeof header) || !SeekFile(bodyFile, 0)) {
        *error = "write error";
        return 0;
    }
    if (!CopyPieces(writer, &body, d.bodyStored, scramble ? &key : nullptr, 0, error))
        return 0;
    return AddRecord(writer, name, fileTime, 1, scramble, d.newSize, storedSize, d.encoded.newSum, error,
                     EntryStorageDelta);
}

// 1 when a record is stored with a method the first format did not have: the header must say so.
int UsesNewMethods(const std::vector<unsigned char>& records)
{
    for (size_t at = 0; at + ArchiveEntrySize <= records.size(); at += ArchiveEntrySize) {
        unsigned char storage = records[at + offsetof(ArchiveEntry, storage)];
        if (storage & (EntryStorageLzma | EntryStorageDelta))
            return 1;
    }
    return 0;
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
    writer->deltaEntries = 0;
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
        if (!EncodeBytes(data, size, writer->options, &block, error))
            return 0;
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

int PrepareArchiveFile(const WriterOptions& options, const std::string& path, PackMode storage, FILE* scratch,
                       uint64_t bytesBefore, PreparedFile* prepared, std::string* error)
{
    prepared->path = path;
    prepared->scratch = scratch;
    prepared->compressed = 0;
    prepared->readBefore = 0;
    prepared->encodedSize = 0;
    prepared->sum = 0;
    std::error_code code;
    prepared->size = fs::file_size(fs::u8path(path), code);
    if (code) {
        *error = path + ": " + code.message();
        return 0;
    }
    if (prepared->size > MostArchiveBytes) {
        *error = path + ": larger than 4 GiB, more than an archive entry can hold";
        return 0;
    }
    if (!GetFileTimeValue(path, &prepared->timeBefore, error))
        return 0;
    if (storage == PackStore)
        return 1;
    FILE* file = OpenFileForReading(path, error);
    if (!file)
        return 0;
    if (options.compressing)
        options.compressing(options.progressContext, bytesBefore);
    FileInput input = {file, path, 0, ""};
    int ok = EncodeFileToScratch(options, scratch, &input, prepared->size, &prepared->encodedSize, error);
    fclose(file);
    if (!ok)
        return 0;
    prepared->readBefore = 1;
    prepared->sum = input.sum;
    prepared->compressed = storage == PackCompressAlways || prepared->encodedSize < prepared->size;
    if (prepared->compressed && prepared->encodedSize > MostArchiveBytes) {
        *error = "compressed entry larger than 4 GiB: " + path;
        return 0;
    }
    return 1;
}

int CommitArchiveFile(ArchiveWriter* writer, const std::string& name, const PreparedFile& prepared,
                      uint64_t fileTime, int scramble, std::string* error)
{
    if (!CheckEntryName(name, error))
        return 0;
    int ok = prepared.compressed ? CommitEncoded(writer, name, prepared, fileTime, scramble, error)
                                 : CommitStored(writer, name, prepared, fileTime, scramble, error);
    return ok && UnchangedSince(prepared.path, prepared.size, prepared.timeBefore, error);
}

int AddArchiveFile(ArchiveWriter* writer, const std::string& name, const std::string& path, uint64_t fileTime,
                   PackMode storage, int scramble, std::string* error)
{
    if (!CheckEntryName(name, error))
        return 0;
    PreparedFile prepared;
    return PrepareArchiveFile(writer->options, path, storage, writer->options.scratch, writer->inputBytes, &prepared,
                              error) &&
           CommitArchiveFile(writer, name, prepared, fileTime, scramble, error);
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
        if (!EncodeBytes(records.data(), records.size(), writer->options, &block, error))
            return 0;
        writer->tableCompressed = writer->options.table == PackCompressAlways || block.size() < records.size();
    }
    const std::vector<unsigned char>& table = writer->tableCompressed ? block : records;
    if (writer->size + table.size() > MostArchiveBytes) {
        *error = "archive larger than 4 GiB";
        return 0;
    }
    ArchiveHeader header;
    header.magic = ArchiveMagic;
    header.flags = !writer->tableCompressed                ? 0
                   : writer->options.codec == CodecLzma ? ArchiveFlagTableLzma
                                                        : ArchiveFlagTableCompressed;
    if (UsesNewMethods(records) || (header.flags & ArchiveFlagTableLzma))
        header.flags |= ArchiveFlagNewMethods;
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

int ParseCodecName(const std::string& name, ArchiveCodec* codec, std::string* error)
{
    if (name == "fa2") {
        *codec = CodecBlock;
        return 1;
    }
    if (name == "lzma" && LzmaEncoderAvailable()) {
        *codec = CodecLzma;
        return 1;
    }
    if (name == "lzma")
        *error = "this fa2 has no LZMA encoder: its only codec is fa2 (the Linux fa2 has lzma too)";
    else
        *error = "unknown codec " + name + (LzmaEncoderAvailable() ? " (codecs: fa2, lzma)" : " (codecs: fa2)");
    return 0;
}

const char* CodecHelp()
{
    return LzmaEncoderAvailable()
               ? "  --codec NAME       compression method: fa2 (the default) or lzma (smaller, slower to pack)\n"
               : "  --codec NAME       compression method: fa2 only (this build has no LZMA encoder)\n";
}

namespace {

// The old files a delta can be made against: one per distinct old version (size and SHA-256), in the order
// given; `*anyTooLarge` when one is past 4 GiB - 1 (its installations need the whole entry).
int DistinctOldFiles(const std::vector<std::string>& oldPaths, std::vector<std::string>* distinct,
                     std::vector<uint64_t>* sizes, int* anyTooLarge, std::string* error)
{
    std::vector<std::string> seen;  // size and SHA-256 of each one kept
    *anyTooLarge = 0;
    for (const std::string& oldPath : oldPaths) {
        std::error_code code;
        uint64_t size = fs::file_size(fs::u8path(oldPath), code);
        if (code) {
            *error = oldPath + ": " + code.message();
            return 0;
        }
        if (size > MostArchiveBytes) {
            *anyTooLarge = 1;
            continue;
        }
        FILE* file = OpenFileForReading(oldPath, error);
        if (!file)
            return 0;
        unsigned char digest[Sha256Size];
        int ok = FileSha256(file, size, digest, error);
        fclose(file);
        if (!ok) {
            *error = oldPath + ": " + *error;
            return 0;
        }
        std::string key = std::to_string(size) + ":" + std::string((const char*)digest, Sha256Size);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        distinct->push_back(oldPath);
        sizes->push_back(size);
    }
    return 1;
}

}  // namespace

int AddArchiveDelta(ArchiveWriter* writer, const std::string& name, const std::string& path,
                    const std::vector<std::string>& oldPaths, uint64_t fileTime, int scramble, int withWhole,
                    DeltaOutcome* outcome, std::vector<std::string>* bases, std::string* error)
{
    bases->clear();
    if (!CheckEntryName(name, error))
        return 0;
    std::error_code code;
    uint64_t newSize = fs::file_size(fs::u8path(path), code);
    if (code) {
        *error = path + ": " + code.message();
        return 0;
    }
    std::vector<std::string> olds;
    std::vector<uint64_t> oldSizes;
    int anyTooLarge;
    Step(writer, "reading the old files");
    if (!DistinctOldFiles(oldPaths, &olds, &oldSizes, &anyTooLarge, error))
        return 0;
    *outcome = DeltaTooLarge;
    if (newSize > MostArchiveBytes || olds.empty()) {
        bases->push_back("");
        return AddArchiveFile(writer, name, path, fileTime, PackCompressIfSmaller, scramble, error);
    }
    uint64_t timeBefore;
    if (!GetFileTimeValue(path, &timeBefore, error))
        return 0;
    // Each delta is made once to learn its size; only the last one made is still in the temporary files.
    std::vector<PreparedDelta> made(olds.size());
    uint64_t largest = 0;
    for (size_t i = 0; i < olds.size(); i++) {
        made[i].newSize = newSize;
        made[i].oldSize = oldSizes[i];
        if (!PrepareDelta(writer, path, olds[i], &made[i], error))
            return 0;
        largest = std::max(largest, DeltaHeaderSize + made[i].bodyStored);
    }
    uint64_t wholeSize;
    Step(writer, "compressing the whole file to compare");
    if (!WholeEntrySize(writer, path, newSize, largest, &wholeSize, error))
        return 0;
    Step(writer, "writing");
    std::vector<size_t> kept;
    for (size_t i = 0; i < olds.size(); i++)
        if (DeltaHeaderSize + made[i].bodyStored < wholeSize)
            kept.push_back(i);
    *outcome = DeltaNotSmaller;
    if (kept.empty()) {
        bases->push_back("");
        return AddArchiveFile(writer, name, path, fileTime, PackCompressIfSmaller, scramble, error);
    }
    // A version whose delta was not kept, or could not be made, still needs the whole file.
    withWhole = withWhole || kept.size() < olds.size() || anyTooLarge;
    *outcome = DeltaWritten;
    size_t inFiles = olds.size() - 1;  // the delta the temporary files hold
    for (size_t k = 0; k < kept.size(); k++) {
        size_t i = kept[k];
        if (i != inFiles && !PrepareDelta(writer, path, olds[i], &made[i], error))
            return 0;
        inFiles = i;
        if (!WriteDelta(writer, name, made[i], fileTime, scramble, withWhole, error))
            return 0;
        if (k > 0)
            writer->inputBytes -= newSize;  // the same file again: progress counts it once
        bases->push_back(olds[i]);
    }
    if (withWhole) {
        writer->inputBytes -= newSize;
        if (!AddArchiveFile(writer, name, path, fileTime, PackCompressIfSmaller, scramble, error))
            return 0;
        // Read once for the delta and again for the whole entry: both must carry the same bytes.
        if (writer->sums.back() != made[kept[0]].encoded.newSum) {
            *error = ChangedWhilePacking(path);
            return 0;
        }
        bases->push_back("");
    }
    for (size_t k = 1; k < kept.size(); k++)
        if (made[kept[k]].encoded.newSum != made[kept[0]].encoded.newSum) {
            *error = ChangedWhilePacking(path);
            return 0;
        }
    return UnchangedSince(path, newSize, timeBefore, error);
}
