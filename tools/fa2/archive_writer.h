#pragma once
// Writes update archives; the updater only reads them. An archive is written entry by entry into a sink (a file,
// for fa2 build and fa2 pack), so that only one entry is ever held in memory.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "block_encoder.h"
#include "byte_sink.h"

enum PackMode {
    PackStore,            // never compressed
    PackCompressIfSmaller,
    PackCompressAlways    // compressed even when that grows it (tests and odd publishers)
};

struct WriterEntry {
    std::string name;                 // cp932 bytes, 1 to 259 of them, no NUL
    std::vector<unsigned char> data;  // the file's bytes
    uint64_t fileTime;                // FILETIME: 100 ns since 1601-01-01 UTC
    PackMode storage;
    int scramble;                     // 1: the stored bytes (compressed ones when compressed) are scrambled
};

// The compression method of an archive's entries and table.
enum ArchiveCodec {
    CodecBlock,  // the block method (the default; every updater reads it)
    CodecLzma    // LZMA: smaller, needs an updater that reads it and an fa2 with the encoder
};

struct WriterOptions {
    PackMode table;     // PackStore gives a plain table
    EncodeLevel level;  // for the entries and the table
    // Called after each entry is packed, and while a stored file is copied, with the entries finished and the
    // input bytes taken so far (may be null).
    void (*progress)(void* context, size_t entriesDone, uint64_t bytesDone) = nullptr;
    // Called when an entry's compression starts, after `bytesBefore` input bytes (may be null): until the next
    // progress call, EncodeBlockProgress tells how far into the entry it is.
    void (*compressing)(void* context, uint64_t bytesBefore) = nullptr;
    // Called as a delta's work moves on to another pass over the file ("matching"; may be null).
    void (*step)(void* context, const char* step) = nullptr;
    void* progressContext = nullptr;
    ArchiveCodec codec = CodecBlock;
    // Where AddArchiveFile compresses a file before it knows whether to keep that: a file open for reading and
    // writing, which the caller removes (needed for files that are compressed).
    FILE* scratch = nullptr;
    // Two more for delta entries (AddArchiveDelta): the delta's commands as they are, then compressed.
    FILE* deltaBody = nullptr;
    FILE* deltaStored = nullptr;
};

struct ArchiveWriter {
    ByteSink sink;
    WriterOptions options;
    uint64_t size;                       // bytes written so far: where the next entry's data begins
    uint64_t inputBytes;                 // file bytes taken so far
    std::vector<unsigned char> records;  // one 280-byte record per entry, in order
    std::vector<uint32_t> sums;          // CRC-32 of each entry's file bytes
    uint32_t tableSum;                   // CRC-32 of the header and the records, once finished
    int compressedEntries;
    int deltaEntries;
    int scrambledEntries;
    int tableCompressed;
};

// Writes the header's place (filled in by FinishArchive). 0 when the sink fails.
int StartArchive(ArchiveWriter* writer, const ByteSink& sink, const WriterOptions& options);

// One entry from memory. `data` may be changed (scrambled in place when it is stored as it is).
int AddArchiveEntry(ArchiveWriter* writer, const std::string& name, unsigned char* data, size_t size,
                    uint64_t fileTime, PackMode storage, int scramble, std::string* error);

// One entry from a file, read a piece at a time: memory stays the same whatever its size.
int AddArchiveFile(ArchiveWriter* writer, const std::string& name, const std::string& path, uint64_t fileTime,
                   PackMode storage, int scramble, std::string* error);

// AddArchiveFile in two steps, so that files can be compressed side by side and still go in in order. Preparing
// reads a file and, unless it is stored, compresses it into `scratch` (a file of the caller's, one per file in
// flight); it touches no writer. Committing puts the prepared file in the archive (read again when compressing
// did not make it smaller) and holds it to its size and time when preparing began.
struct PreparedFile {
    std::string path;
    FILE* scratch;
    uint64_t size, timeBefore;
    int compressed;        // `scratch` holds encodedSize bytes that go in; else the file goes in as it is
    int readBefore;        // read once already: the second read must give `sum` again
    uint64_t encodedSize;
    uint32_t sum;          // CRC-32 of the file's bytes, when read
};
// `options.compressing`, when set, is called with `bytesBefore` as the compression starts.
int PrepareArchiveFile(const WriterOptions& options, const std::string& path, PackMode storage, FILE* scratch,
                       uint64_t bytesBefore, PreparedFile* prepared, std::string* error);
int CommitArchiveFile(ArchiveWriter* writer, const std::string& name, const PreparedFile& prepared,
                      uint64_t fileTime, int scramble, std::string* error);

// What AddArchiveDelta wrote.
enum DeltaOutcome {
    DeltaWritten = 1,      // delta entries (and the whole entry right after them, with `withWhole` or when needed)
    DeltaNotSmaller,       // the whole entry alone: no delta was smaller
    DeltaTooLarge          // the whole entry alone: the file past 4 GiB - 1, or no old file under that
};

// The file at `path` as deltas against the old files at `oldPaths` (the same file in up to MostOldReleases old
// releases; format in archive/delta_format.h): one delta per distinct old file (size and SHA-256), records of
// `name` in a row, each body compressed with the build's codec where that makes it smaller. A delta is kept only
// when it is smaller than the whole entry, which is compressed too until it is known to be no smaller than the
// largest delta. The whole entry follows the deltas as the next record of the same name with `withWhole`, and
// also when an old version's delta was not kept, for installations whose old file differs. `bases`: the old file
// of each record written ("" for a whole entry). The file is held to its size and time when the deltas began, and
// every record to the same bytes, as in CommitArchiveFile. Needs options.scratch, deltaBody and deltaStored (no
// other user at the time).
const size_t MostOldReleases = 8;
int AddArchiveDelta(ArchiveWriter* writer, const std::string& name, const std::string& path,
                    const std::vector<std::string>& oldPaths, uint64_t fileTime, int scramble, int withWhole,
                    DeltaOutcome* outcome, std::vector<std::string>* bases, std::string* error);

// The table behind the entries, then the header at the start. 0 with one line in `error`.
int FinishArchive(ArchiveWriter* writer, std::string* error);

// The whole archive in `out`: header, entries in the given order padded to 16, then the table. 0 with one line
// in `error` for a bad name or an archive that does not fit 32-bit offsets.
int WriteArchive(const std::vector<WriterEntry>& entries, const WriterOptions& options,
                 std::vector<unsigned char>* out, std::string* error);

// The --codec option's value: "fa2" (the block method) or "lzma". 0 with one line in `error` for another name,
// or for lzma in a build without its encoder.
int ParseCodecName(const std::string& name, ArchiveCodec* codec, std::string* error);

// The --codec option's help line, naming the codecs this build has.
const char* CodecHelp();
