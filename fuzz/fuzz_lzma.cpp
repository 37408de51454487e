// LZMA data as an archive entry, plain or pieced: streamed in small pieces (scrambled or not), decoded whole as
// the table is, and judged by liblzma. All three must agree on the verdict and on every byte.
#include <lzma.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/archive_format.h"
#include "archive/block_decoder.h"
#include "archive/entry_stream.h"
#include "archive/lzma_decoder.h"

namespace {

int Append(void* context, const unsigned char* bytes, size_t count)
{
    std::vector<unsigned char>* out = (std::vector<unsigned char>*)context;
    if (count == 0)
        __builtin_trap();
    out->insert(out->end(), bytes, bytes + count);
    return 1;
}

// 1 and the bytes when liblzma decodes the data to exactly `size` bytes; -1 when it will not try (memory).
int LibDecode(const unsigned char* stored, size_t storedSize, uint32_t size, std::vector<unsigned char>* out)
{
    LzmaProperties properties;
    if (storedSize < LzmaHeaderSize || !ReadLzmaProperties(stored[0], ReadLzmaDictionary(stored), &properties))
        return 0;
    if (properties.lc + properties.lp > 4)
        return -1;  // liblzma's limit, not the format's
    lzma_options_lzma options;
    memset(&options, 0, sizeof options);
    options.lc = properties.lc;
    options.lp = properties.lp;
    options.pb = properties.pb;
    // A dictionary beyond the output reaches nothing more; liblzma would allocate all of it.
    options.dict_size = properties.dictionarySize > size && size > LzmaMinDictionary ? size
                        : properties.dictionarySize > size                           ? LzmaMinDictionary
                                                                                     : properties.dictionarySize;
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    lzma_set_ext_size(options, size);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    out->assign((size_t)size + 1, 0);
    size_t inPos = LzmaHeaderSize, outPos = 0;
    lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, stored, &inPos, storedSize, out->data(), &outPos,
                                          out->size());
    if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR)
        return -1;
    out->resize(outPos);
    return ret == LZMA_OK && outPos == size && inPos == storedSize;
}

// The same verdict for the pieced form: each piece decoded on its own with the output before it (up to the
// dictionary) as liblzma's preset dictionary, so that its matches reach into the pieces before it.
int LibDecodePieced(const unsigned char* stored, size_t storedSize, uint32_t size, std::vector<unsigned char>* out)
{
    LzmaProperties properties;
    if (storedSize < LzmaPiecedHeaderSize || stored[0] != LzmaPiecedMark ||
        !ReadLzmaProperties(stored[1], ReadLzmaDictionary(stored + 1), &properties))
        return 0;
    if (properties.lc + properties.lp > 4)
        return -1;
    if (size == 0)
        return 0;  // the pieced form has at least one piece; fa2 never pieces an empty file
    out->clear();
    size_t at = LzmaPiecedHeaderSize;
    while (out->size() < size) {
        if (storedSize - at < LzmaPieceHeaderSize)
            return 0;
        uint32_t decoded = LoadLe32(stored + at), streamSize = LoadLe32(stored + at + 4);
        at += LzmaPieceHeaderSize;
        if (decoded == 0 || decoded > size - out->size() || streamSize > storedSize - at)
            return 0;
        // liblzma counts positions from its preset's start: only a preset that keeps lp/pb's alignment compares.
        size_t start = out->size();
        size_t preset = start < properties.dictionarySize ? start : properties.dictionarySize;
        if ((start - preset) % 16)
            return -1;
        lzma_options_lzma options;
        memset(&options, 0, sizeof options);
        options.lc = properties.lc;
        options.lp = properties.lp;
        options.pb = properties.pb;
        options.dict_size = properties.dictionarySize > size && size > LzmaMinDictionary ? size
                            : properties.dictionarySize > size                           ? LzmaMinDictionary
                                                                                         : properties.dictionarySize;
        options.preset_dict = preset ? out->data() + start - preset : nullptr;
        options.preset_dict_size = (uint32_t)preset;
        options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        lzma_set_ext_size(options, decoded);
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        std::vector<unsigned char> piece((size_t)decoded + 1);
        size_t inPos = 0, outPos = 0;
        lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, stored + at, &inPos, streamSize, piece.data(), &outPos,
                                              piece.size());
        if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR)
            return -1;
        if (ret != LZMA_OK || outPos != decoded || inPos != streamSize)
            return 0;
        out->insert(out->end(), piece.begin(), piece.begin() + decoded);
        at += streamSize;
    }
    return at == storedSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    uint32_t unpacked = (uint32_t)data[0] | ((uint32_t)(data[1] & 0x7F) << 8);  // up to 32 KiB
    int scrambled = data[1] >> 7;
    const EntryPieces pieces = {BlockStepMaxOutput + data[2], 64 + 4 * (size_t)(data[2] & 15)};
    std::vector<unsigned char> stored(data + 3, data + size);  // exactly sized: reads past it show

    ArchiveEntry entry;
    memset(&entry, 0, sizeof entry);
    entry.storage = EntryStorageLzma;
    entry.scramble = scrambled ? EntryScrambled : 0;
    entry.unpackedSize = unpacked;
    entry.storedSize = (uint32_t)stored.size();
    std::vector<unsigned char> plain(stored);  // what the stream is once descrambled
    if (scrambled)
        DescrambleEntry(plain.data(), (uint32_t)plain.size());

    std::vector<unsigned char> streamed;
    int streamedOk = 0;
    size_t workspaceSize;
    if (EntryWorkspaceSizeInPieces(&entry, stored.data(), &pieces, &workspaceSize)) {
        if (workspaceSize > (64u << 20))
            return 0;  // a hostile table size: the updater's allocation fails, nothing to decode
        std::vector<unsigned char> workspace(workspaceSize);
        EntryStreamResult r = StreamEntryInPieces(&entry, stored.data(), &pieces, workspace.data(),
                                                  workspace.size(), Append, &streamed);
        if (r == EntryStreamStopped || streamed.size() > unpacked)
            __builtin_trap();
        streamedOk = r == EntryStreamDone;
    }

    // The whole-buffer form, as the table is decoded: it agrees whenever the window is the whole output.
    LzmaProperties properties;
    if (plain.size() >= LzmaHeaderSize && ReadLzmaProperties(plain[0], ReadLzmaDictionary(plain.data()), &properties) &&
        properties.dictionarySize >= unpacked && properties.lc + properties.lp <= 4) {
        std::vector<uint16_t> probabilities(LzmaTableProbabilities);
        std::vector<unsigned char> whole(unpacked);
        int wholeOk = DecompressLzma(whole.data(), unpacked, plain.data(), plain.size(), probabilities.data(),
                                     probabilities.size());
        if (wholeOk != streamedOk || (wholeOk && whole != streamed))
            __builtin_trap();
    }

    std::vector<unsigned char> lib;
    int libOk = !plain.empty() && plain[0] == LzmaPiecedMark ? LibDecodePieced(plain.data(), plain.size(), unpacked, &lib)
                                                             : LibDecode(plain.data(), plain.size(), unpacked, &lib);
    if (libOk >= 0 && (libOk != streamedOk || (libOk && lib != streamed)))
        __builtin_trap();
    return 0;
}
