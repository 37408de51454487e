#pragma once
// Writing an archive entry into an open file in pieces, through a small workspace of its own: whatever the
// entry's size, memory stays at a few hundred KB for the block method.
#include <windows.h>

#include "archive/entry_stream.h"

// The EntryOutput that writes each piece to `file`; `failed` is set when a write fails (the decoding then stops).
// `sum`, when given, takes the CRC-32 of the pieces as they go (Crc32Update from its value).
struct EntryFileOutput {
    HANDLE file;
    int failed;
    uint32_t* sum;
};
int WriteEntryPiece(void* context, const unsigned char* bytes, size_t count);

enum EntryFileResult {
    EntryFileWritten = 1,
    EntryFileDamaged,      // the stored data does not make the entry
    EntryFileNoMemory,     // the workspace could not be had
    EntryFileWriteFailed,  // WriteFile failed or wrote short
};

// Writes the entry's unpackedSize bytes at `file`'s position. `stored` is the entry's data in the image, already
// checked with CheckEntryData. Shows no message: the caller knows what each result means to the user. With `sum`,
// the CRC-32 of the bytes written lands there, for EntryIntact.
EntryFileResult WriteEntryToFile(const ArchiveEntry* entry, const unsigned char* stored, HANDLE file,
                                 uint32_t* sum = nullptr);
