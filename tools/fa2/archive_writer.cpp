#include "archive_writer.h"

#include <cstring>

#include "archive/archive_format.h"
#include "lzma_encoder.h"

// Encodes `data` when the mode asks for it and it pays; 1 in *compressed when `stored` holds encoded data.
static int PackBytes(const unsigned char* data, size_t size, PackMode mode, const WriterOptions& options,
                     std::vector<unsigned char>* stored, int* compressed, std::string* error)
{
    *compressed = 0;
    if (mode != PackStore) {
        std::vector<unsigned char> encoded;
        if (options.codec == CodecLzma) {
            if (!EncodeLzma(data, size, options.level, &encoded, error))
                return 0;
        } else {
            encoded = EncodeBlock(data, size, options.level);
        }
        if (mode == PackCompressAlways || encoded.size() < size) {
            stored->swap(encoded);
            *compressed = 1;
            return 1;
        }
    }
    stored->assign(data, data + size);
    return 1;
}

static int CheckEntryName(const std::string& name, std::string* error)
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

int WriteArchive(const std::vector<WriterEntry>& entries, const WriterOptions& options,
                 std::vector<unsigned char>* out, std::string* error)
{
    if (entries.size() > 0xFFFFFFFFu / ArchiveEntrySize) {
        *error = "too many entries";
        return 0;
    }
    std::vector<unsigned char> archive(ArchiveHeaderSize, 0);
    std::vector<unsigned char> records(entries.size() * ArchiveEntrySize, 0);
    uint64_t bytesDone = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        const WriterEntry& source = entries[i];
        if (!CheckEntryName(source.name, error))
            return 0;
        if (source.data.size() > 0xFFFFFFFFu) {
            *error = "entry larger than 4 GiB: " + source.name;
            return 0;
        }
        std::vector<unsigned char> stored;
        int compressed;
        if (!PackBytes(source.data.data(), source.data.size(), source.storage, options, &stored, &compressed, error))
            return 0;
        if (stored.size() > 0xFFFFFFFFu) {
            *error = "compressed entry larger than 4 GiB: " + source.name;
            return 0;
        }
        ArchiveEntry record;
        memset(&record, 0, sizeof record);
        memcpy(record.name, source.name.data(), source.name.size());
        record.storage = !compressed ? EntryStorageStored
                         : options.codec == CodecLzma ? EntryStorageLzma
                                                      : EntryStorageCompressed;
        record.scramble = source.scramble ? EntryScrambled : 0;
        record.fileTime.lowDateTime = (uint32_t)source.fileTime;
        record.fileTime.highDateTime = (uint32_t)(source.fileTime >> 32);
        record.unpackedSize = (uint32_t)source.data.size();
        record.storedSize = (uint32_t)stored.size();
        if (source.scramble)
            DescrambleEntry(stored.data(), record.storedSize);  // its own inverse
        if (archive.size() + PaddedStoredSize(record.storedSize) > 0xFFFFFFFFu) {
            *error = "archive larger than 4 GiB";
            return 0;
        }
        archive.insert(archive.end(), stored.begin(), stored.end());
        archive.resize(archive.size() + (PaddedStoredSize(record.storedSize) - record.storedSize), 0);
        bytesDone += source.data.size();
        if (options.progress)
            options.progress(options.progressContext, i + 1, bytesDone);
        memcpy(&records[i * ArchiveEntrySize], &record, sizeof record);
    }

    std::vector<unsigned char> table;
    int tableCompressed;
    if (!PackBytes(records.data(), records.size(), options.table, options, &table, &tableCompressed, error))
        return 0;
    if (archive.size() + table.size() > 0xFFFFFFFFu) {
        *error = "archive larger than 4 GiB";
        return 0;
    }
    ArchiveHeader header;
    header.magic = ArchiveMagic;
    header.flags = !tableCompressed ? 0
                   : options.codec == CodecLzma ? ArchiveFlagTableLzma
                                                : ArchiveFlagTableCompressed;
    header.tableOffset = (uint32_t)archive.size();
    header.entryCount = (uint32_t)entries.size();
    memcpy(archive.data(), &header, sizeof header);
    archive.insert(archive.end(), table.begin(), table.end());
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
