#pragma once
// Where the tool's writers put their bytes, in order: a file or a vector. `patch` rewrites bytes already
// written (a header whose fields are known only at the end).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ByteSink {
    int (*write)(void* context, const unsigned char* bytes, size_t count);
    int (*patch)(void* context, uint64_t offset, const unsigned char* bytes, size_t count);
    void* context;
};

ByteSink VectorSink(std::vector<unsigned char>* bytes);
ByteSink FileSink(FILE* file);  // the file's position must be its end, and stays there

int SinkWrite(const ByteSink& sink, const void* bytes, size_t count);
int SinkZeros(const ByteSink& sink, uint64_t count);

// Copies `size` bytes from `file` at `offset` into the sink, a piece at a time. 0 on a short read or a failed
// write, with a reason in `error`.
int SinkFileRange(const ByteSink& sink, FILE* file, uint64_t offset, uint64_t size, std::string* error);

// Positions in files of any size (the C library's long is 32 bits on Windows).
int SeekFile(FILE* file, uint64_t offset);
int64_t TellFile(FILE* file);
