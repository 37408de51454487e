// Decode speed of the 32-bit build against zlib for i686 on generated game-like data (run under Wine).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/block_decoder.h"
#include "block_encoder.h"
#include "corpus.h"
#include "raw_deflate.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv)
{
    // More rounds on a busy machine: the best one is the least disturbed.
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    std::vector<CorpusFile> files = BuildGameCorpus(8u << 20);
    std::vector<std::vector<unsigned char>> ours, zlib;
    size_t total = 0, largest = 0, oursBytes = 0, zlibBytes = 0;
    for (const CorpusFile& f : files) {
        ours.push_back(EncodeBlock(f.data.data(), f.data.size(), EncodeBest));
        zlib.push_back(RawDeflate9(f.data));
        total += f.data.size();
        largest = std::max(largest, f.data.size());
        oursBytes += ours.back().size();
        zlibBytes += zlib.back().size();
    }
    std::vector<unsigned char> dst(largest + 1);
    z_stream z;
    memset(&z, 0, sizeof z);
    inflateInit2(&z, -15);

    for (size_t k = 0; k < files.size(); ++k)
        if (!DecompressBlock(dst.data(), files[k].data.size(), ours[k].data(), ours[k].size()) ||
            memcmp(dst.data(), files[k].data.data(), files[k].data.size()) != 0) {
            printf("decode failed: %s\n", files[k].name.c_str());
            return 1;
        }

    double bestOurs = 1e30, bestZlib = 1e30, bestCopy = 1e30;
    for (int round = 0; round < rounds; ++round) {
        auto t = std::chrono::steady_clock::now();
        for (size_t k = 0; k < files.size(); ++k)
            if (!DecompressBlock(dst.data(), files[k].data.size(), ours[k].data(), ours[k].size()))
                return 1;
        bestOurs = std::min(bestOurs, Seconds(t));

        t = std::chrono::steady_clock::now();
        for (size_t k = 0; k < files.size(); ++k) {
            inflateReset(&z);
            z.next_in = zlib[k].data();
            z.avail_in = (uInt)zlib[k].size();
            z.next_out = dst.data();
            z.avail_out = (uInt)files[k].data.size();
            if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
                printf("inflate failed: %s\n", files[k].name.c_str());
                return 1;
            }
        }
        bestZlib = std::min(bestZlib, Seconds(t));

        t = std::chrono::steady_clock::now();
        for (size_t k = 0; k < files.size(); ++k)
            memcpy(dst.data(), files[k].data.data(), files[k].data.size());
        bestCopy = std::min(bestCopy, Seconds(t));
    }
    inflateEnd(&z);
    printf("generated game-like data: %zu files, %zu bytes; ours (best level) %zu bytes, zlib -9 %zu bytes\n",
           files.size(), total, oursBytes, zlibBytes);
    printf("decode MB/s (best of %d): ours %.0f, zlib inflate %.0f, memcpy %.0f; ours/zlib %.2fx\n", rounds,
           total / bestOurs / 1e6, total / bestZlib / 1e6, total / bestCopy / 1e6, bestZlib / bestOurs);
    return 0;
}
