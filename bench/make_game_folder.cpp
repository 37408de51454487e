// Writes a generated game folder for the size and whole-run measurements: FILES files of TOTAL_MB megabytes in all,
// of the corpus kinds in turn (programs and libraries, text, already-compressed media, game-like data), sizes
// spread from a few KB to a few tens of MB as in an installed game. With FILES 1, one file of every kind in turn.
//   make_game_folder DIR TOTAL_MB FILES
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corpus.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: make_game_folder DIR TOTAL_MB FILES\n");
        return 2;
    }
    std::string dir = argv[1];
    size_t total = (size_t)atof(argv[2]) * 1000000, count = (size_t)atol(argv[3]);
    if (count == 0 || mkdir(dir.c_str(), 0755) != 0) {
        fprintf(stderr, "make_game_folder: cannot make %s (it must not exist yet)\n", dir.c_str());
        return 1;
    }
    std::vector<CorpusFile> corpus = BuildMixedCorpus(total / 4 + (1u << 20));
    std::vector<std::vector<unsigned char>> byKind(4);
    for (const CorpusFile& f : corpus)
        for (int k = 0; k < 4; ++k)
            if (f.kind == CorpusKinds[k])
                byKind[k].insert(byKind[k].end(), f.data.begin(), f.data.end());
    corpus.clear();

    // Sizes: weights k^-1.2 over the files (a few large archives, many small files), scaled to the total.
    std::vector<double> weights(count);
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += weights[i] = 1.0 / std::pow((double)(i + 1), 1.2);
    static const char* extensions[4][2] = {{"exe", "dll"}, {"txt", "ini"}, {"ogg", "png"}, {"dat", "pak"}};
    size_t written = 0, at[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < count; ++i) {
        size_t size = i + 1 == count ? total - written : (size_t)(total * weights[i] / sum);
        std::string name = dir + "/" + (count == 1 ? std::string("data.pak") : "file" + std::to_string(i) + "." +
                                                                                   extensions[i % 4][i / 4 % 2]);
        FILE* out = fopen(name.c_str(), "wb");
        if (!out)
            return perror(name.c_str()), 1;
        // One kind per file; a single file takes every kind in 1 MB turns.
        for (size_t done = 0; done < size;) {
            int kind = count == 1 ? (int)(done >> 20) % 4 : (int)(i % 4);
            std::vector<unsigned char>& source = byKind[kind];
            size_t piece = std::min(size - done, count == 1 ? (size_t)(1u << 20) : size - done);
            piece = std::min(piece, source.size() - at[kind]);
            fwrite(source.data() + at[kind], 1, piece, out);
            at[kind] = (at[kind] + piece) % source.size();  // wraps only when a kind ran short
            done += piece;
        }
        fclose(out);
        written += size;
    }
    printf("%zu files, %zu bytes in %s\n", count, written, dir.c_str());
    return 0;
}
