#pragma once
// Ownership that ends with the scope, so no way out of a function can forget a release.
#include <windows.h>

#include <cstddef>

#include "support/file_calls.h"

// A fixed GlobalAlloc block, released when the scope ends unless handed over with Release().
struct GlobalBlock {
    unsigned char* bytes = nullptr;
    GlobalBlock() = default;
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    ~GlobalBlock()
    {
        if (bytes)
            GlobalFree(bytes);
    }
    // At least one byte, so that an empty thing still gets a block of its own.
    int Allocate(size_t size)
    {
        bytes = (unsigned char*)GlobalAlloc(GMEM_FIXED, size ? size : 1);
        return bytes != nullptr;
    }
    unsigned char* Release()
    {
        unsigned char* taken = bytes;
        bytes = nullptr;
        return taken;
    }
};

// A file handle, closed when the scope ends (through the file calls' table: it may be a test's file).
struct FileHandle {
    HANDLE handle;
    explicit FileHandle(HANDLE h) : handle(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            Files.CloseHandle(handle);
    }
};
