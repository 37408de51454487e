// The LZMA method on the benchmark corpus (host, one run): total size against xz -6 of the same files and against
// the block method's best level, and decoding speed of our LZMA decoder against liblzma's on the same streams.
// One stream per file; a file whose compressed form is not smaller is stored, as the archive does.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/archive_format.h"
#include "archive/entry_stream.h"
#include "archive/lzma_decoder.h"
#include "block_encoder.h"
#include "corpus.h"
#include "lzma_encoder.h"
#include "raw_deflate.h"

namespace {

typedef std::vector<unsigned char> Bytes;

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// What `xz -6 FILE` writes: the .xz container, LZMA2 preset 6, CRC64.
size_t Xz6Size(const Bytes& data)
{
    Bytes out(lzma_stream_buffer_bound(data.size()));
    size_t outPos = 0;
    if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(), out.data(), &outPos,
                                out.size()) != LZMA_OK)
        abort();
    return outPos;
}

int Discard(void*, const unsigned char*, size_t) { return 1; }

struct Stream {
    ArchiveEntry record;
    Bytes stored;
};

// liblzma's raw decoder on our stored form (header, then the stream without an end marker).
int LibDecode(const Stream& s, unsigned char* out)
{
    lzma_options_lzma options;
    memset(&options, 0, sizeof options);
    options.lc = s.stored[0] % 9;
    options.lp = s.stored[0] / 9 % 5;
    options.pb = s.stored[0] / 45;
    options.dict_size = ReadLzmaDictionary(s.stored.data());
    lzma_set_ext_size(options, s.record.unpackedSize);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    size_t inPos = LzmaHeaderSize, outPos = 0;
    return lzma_raw_buffer_decode(filters, nullptr, s.stored.data(), &inPos, s.stored.size(), out, &outPos,
                                  s.record.unpackedSize) == LZMA_OK;
}

}  // namespace

int main()
{
    const char* env = getenv("CODEC_BENCH_MB_PER_KIND");
    size_t perKind = (size_t)(env ? atof(env) : 18.0) * (1u << 20);
    std::vector<CorpusFile> files = BuildMixedCorpus(perKind);
    size_t total = 0;
    for (const CorpusFile& f : files)
        total += f.data.size();
    printf("corpus: %zu files, %zu bytes (%zu MiB per kind asked)\n", files.size(), total, perKind >> 20);

    // Sizes, each file on its own, stored when that is not larger.
    size_t best = 0, lzma = 0, xz = 0, deflate = 0, lzmaFast = 0, lzmaBest = 0;
    double bestTime = 0, lzmaTime = 0;
    std::vector<Stream> streams;
    for (const CorpusFile& f : files) {
        auto t = std::chrono::steady_clock::now();
        best += std::min(f.data.size(), EncodeBlock(f.data.data(), f.data.size(), EncodeBest).size());
        bestTime += Seconds(t);
        Bytes stored;
        std::string error;
        t = std::chrono::steady_clock::now();
        if (!EncodeLzma(f.data.data(), f.data.size(), EncodeDefault, &stored, &error))
            return printf("%s\n", error.c_str()), 1;
        lzmaTime += Seconds(t);
        lzma += std::min(f.data.size(), stored.size());
        if (stored.size() < f.data.size()) {
            Stream s;
            memset(&s.record, 0, sizeof s.record);
            s.record.storage = EntryStorageLzma;
            s.record.unpackedSize = (uint32_t)f.data.size();
            s.record.storedSize = (uint32_t)stored.size();
            s.stored.swap(stored);
            streams.push_back(std::move(s));
        }
        Bytes other;
        EncodeLzma(f.data.data(), f.data.size(), EncodeFast, &other, &error);
        lzmaFast += std::min(f.data.size(), other.size());
        EncodeLzma(f.data.data(), f.data.size(), EncodeBest, &other, &error);
        lzmaBest += std::min(f.data.size(), other.size());
        xz += std::min(f.data.size(), Xz6Size(f.data));
        deflate += std::min(f.data.size(), RawDeflate9(f.data).size());
    }
    printf("total size, bytes (ratio input/size):\n");
    printf("  fa2 block --best   %10zu (%.3f)   %.1f MB/s to pack\n", best, (double)total / best,
           total / bestTime / 1e6);
    printf("  deflate -9         %10zu (%.3f)\n", deflate, (double)total / deflate);
    printf("  xz -6 (.xz files)  %10zu (%.3f)\n", xz, (double)total / xz);
    printf("  fa2 lzma --fast    %10zu (%.3f)\n", lzmaFast, (double)total / lzmaFast);
    printf("  fa2 lzma           %10zu (%.3f)   %.1f MB/s to pack; %+.2f%% against xz -6, %+.2f%% against --best\n",
           lzma, (double)total / lzma, total / lzmaTime / 1e6, 100.0 * ((double)lzma / xz - 1),
           100.0 * ((double)lzma / best - 1));
    printf("  fa2 lzma --best    %10zu (%.3f)   %+.2f%% against xz -6\n", lzmaBest, (double)total / lzmaBest,
           100.0 * ((double)lzmaBest / xz - 1));

    // Decoding speed on the compressed entries: ours through StreamEntry (pieces to an output that drops them,
    // as a file write would take them), liblzma into one buffer.
    size_t largest = 0, decoded = 0;
    for (const Stream& s : streams) {
        largest = std::max(largest, (size_t)s.record.unpackedSize);
        decoded += s.record.unpackedSize;
    }
    Bytes out(largest + 1);
    std::vector<Bytes> workspaces;
    for (const Stream& s : streams) {
        size_t size;
        if (!EntryWorkspaceSize(&s.record, s.stored.data(), &size))
            return printf("workspace refused\n"), 1;
        workspaces.emplace_back(size);
    }
    double ours = 1e30, theirs = 1e30;
    for (int round = 0; round < 5; ++round) {
        auto t = std::chrono::steady_clock::now();
        for (size_t k = 0; k < streams.size(); ++k)
            if (StreamEntry(&streams[k].record, streams[k].stored.data(), workspaces[k].data(), workspaces[k].size(),
                            Discard, nullptr) != EntryStreamDone)
                return printf("our decoder refused stream %zu\n", k), 1;
        ours = std::min(ours, Seconds(t));
        t = std::chrono::steady_clock::now();
        for (const Stream& s : streams)
            if (!LibDecode(s, out.data()))
                return printf("liblzma refused a stream\n"), 1;
        theirs = std::min(theirs, Seconds(t));
    }
    printf("decoding %zu LZMA entries, %zu bytes out (best of 5): ours %.0f MB/s, liblzma %.0f MB/s: %.2fx\n",
           streams.size(), decoded, decoded / ours / 1e6, decoded / theirs / 1e6, theirs / ours);
    return 0;
}
