#include "archive/entry_file.h"

#include "support/crc32.h"
#include "support/owned.h"
#include "support/file_calls.h"

int WriteEntryPiece(void* context, const unsigned char* bytes, size_t count)
{
    EntryFileOutput* out = (EntryFileOutput*)context;
    if (out->sum)
        *out->sum = Crc32Update(*out->sum, bytes, count);
    DWORD written = 0;
    if (!Files.WriteFile(out->file, bytes, (DWORD)count, &written, nullptr) || written != count) {
        out->failed = 1;
        return 0;
    }
    return 1;
}

EntryFileResult WriteEntryToFile(const ArchiveEntry* entry, const unsigned char* stored, HANDLE file, uint32_t* sum)
{
    size_t size;
    if (!EntryWorkspaceSize(entry, stored, &size))
        return EntryFileDamaged;
    GlobalBlock workspace;
    // A hostile size only makes this fail: the message is the caller's.
    if (!workspace.Allocate(size))
        return EntryFileNoMemory;
    if (sum)
        *sum = 0;
    EntryFileOutput out = {file, 0, sum};
    switch (StreamEntry(entry, stored, workspace.bytes, size, WriteEntryPiece, &out)) {
    case EntryStreamDone:
        return EntryFileWritten;
    case EntryStreamStopped:
        return EntryFileWriteFailed;
    case EntryStreamDamaged:
    default:
        return EntryFileDamaged;
    }
}
