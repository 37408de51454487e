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

// The system's reason (an errno value) why a FileSink write or FlushFile last failed on this thread; 0 when none
// has since ClearFileWriteError. A full disk is told as such, whichever writer met it.
int LastFileWriteError();
void ClearFileWriteError();
// fflush that keeps its reason for LastFileWriteError. 0 when it fails.
int FlushFile(FILE* file);
int SinkZeros(const ByteSink& sink, uint64_t count);

// Copies `size` bytes from `file` at `offset` into the sink, a piece at a time. 0 on a short read or a failed
// write, with a reason in `error`.
int SinkFileRange(const ByteSink& sink, FILE* file, uint64_t offset, uint64_t size, std::string* error);

// Positions in files of any size (the C library's long is 32 bits on Windows).
int SeekFile(FILE* file, uint64_t offset);
int64_t TellFile(FILE* file);
