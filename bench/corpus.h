#pragma once
// The benchmarks' mixed corpus, built at run time: programs and libraries, text, already-compressed media found on
// this machine, and generated game-like data. Nothing of it is kept in the repository.
#include <cstddef>
#include <string>
#include <vector>

struct CorpusFile {
    std::string kind;  // "exe", "text", "media", "game"
    std::string name;
    std::vector<unsigned char> data;
};

// Every kind with about `bytesPerKind` bytes, chosen in a fixed order so that runs on one machine compare.
std::vector<CorpusFile> BuildMixedCorpus(size_t bytesPerKind);

// Only the generated game-like data (bitmaps, tile maps, 16-bit audio, record tables): the same on every machine.
std::vector<CorpusFile> BuildGameCorpus(size_t bytes);

const char* const CorpusKinds[] = {"exe", "text", "media", "game"};
