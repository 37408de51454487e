#include "archive/archive.h"

#include <windows.h>

#include <cstring>

#include "archive/entry_file.h"
#include "support/crc32.h"
#include "support/disk_space.h"
#include "support/messages.h"
#include "support/owned.h"
#include "support/path_join.h"
#include "support/text_format.h"
#include "support/whole_file.h"

const unsigned char* ArchiveImage;
uint32_t ArchiveImageSize;
ArchiveTable* UpdateArchive;
PayloadSums UpdateSums;
int UpdateSumsLoaded;
int PayloadDamageShown;

namespace {

// The most LoadEntry holds in memory at once. What it loads (UPDATE.INI, the agreement texts) is kilobytes; a
// 32-bit process cannot get more than this in one block anyway, and a 64-bit one must not commit gigabytes for a
// record that claims them, so both stop with the same no-memory message.
const uint32_t WholeEntryLimit = 1u << 30;

ArchiveTable* OpenImage(const unsigned char* image, uint32_t size)
{
    if (size < ArchiveHeaderSize)
        return nullptr;
    ArchiveHeader header;
    ReadArchiveHeader(image, &header);
    uint32_t blockSize, tableLength;
    // Placing the table before allocating keeps a damaged count from asking for gigabytes.
    if (!ArchiveTableBlockSize(header.entryCount, &blockSize) || !LocateArchiveTable(&header, size, &tableLength))
        return nullptr;
    GlobalBlock table;
    if (!table.Allocate(blockSize))
        return nullptr;
    // The decoder only reads its source, so a compressed table is decoded straight from the image.
    if (!FillArchiveTable((ArchiveTable*)table.bytes, blockSize, image, size))
        return nullptr;
    return (ArchiveTable*)table.Release();
}

int ReadExactly(HANDLE file, void* buffer, DWORD count)
{
    DWORD read = 0;
    return ReadFile(file, buffer, count, &read, nullptr) && read == count;
}

ArchiveTable* OpenFile(const char* path)
{
    FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (file.handle == INVALID_HANDLE_VALUE)
        return nullptr;
    unsigned char headerBytes[ArchiveHeaderSize];
    ArchiveHeader header;
    if (!ReadExactly(file.handle, headerBytes, sizeof headerBytes))
        return nullptr;
    ReadArchiveHeader(headerBytes, &header);
    if (!HasArchiveMagic(&header))
        return nullptr;
    DWORD high = 0;
    DWORD fileSize = GetFileSize(file.handle, &high);
    if ((fileSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || high != 0)
        return nullptr;
    uint32_t blockSize, tableLength;
    if (!ArchiveTableBlockSize(header.entryCount, &blockSize) || !LocateArchiveTable(&header, fileSize, &tableLength))
        return nullptr;
    LONG offsetHigh = 0;  // passing the high part makes offsets of 2 GiB and more unsigned
    if (SetFilePointer(file.handle, (LONG)header.tableOffset, &offsetHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return nullptr;
    GlobalBlock table, tableBytes;
    if (!table.Allocate(blockSize) || !tableBytes.Allocate(tableLength))
        return nullptr;
    if (!ReadExactly(file.handle, tableBytes.bytes, tableLength))
        return nullptr;
    ArchiveTable* opened = (ArchiveTable*)table.bytes;
    opened->header = header;
    if (!FillArchiveRecords(opened, blockSize, tableBytes.bytes, tableLength))
        return nullptr;
    return (ArchiveTable*)table.Release();
}

// FindEntry: the first record with the name, and where its data begins; the message when there is none.
const ArchiveEntry* FindEntry(const ArchiveTable* table, const char* name, uint64_t* dataOffset)
{
    const ArchiveEntry* entry;
    if (!table || !FindArchiveEntry(table, name, &entry, dataOffset)) {
        ShowUpdaterError(NotFoundText);
        return nullptr;
    }
    return entry;
}

// Takes a piece of the entry into the caller's buffer, after what came before it.
struct BufferOutput {
    unsigned char* at;
};

int CopyPiece(void* context, const unsigned char* bytes, size_t count)
{
    BufferOutput* out = (BufferOutput*)context;
    memcpy(out->at, bytes, count);
    out->at += count;
    return 1;
}

// The damage message, once per run however many steps meet the damage.
void ShowPayloadDamage()
{
    if (!PayloadDamageShown)
        ShowUpdaterError(DamagedPayloadText);
    PayloadDamageShown = 1;
}

// An entry whose stored bytes do not decode: with sums beside the payload that is damage on the way; without,
// the entry is as good as missing.
void ShowUndecodableEntry()
{
    if (UpdateSumsLoaded)
        ShowPayloadDamage();
    else
        ShowUpdaterError(NotFoundText);
}

// Decoded bytes of an entry against their sum; the message when they differ.
int DecodedEntryIntact(const ArchiveTable* table, const ArchiveEntry* entry, const unsigned char* data)
{
    if (!UpdateSumsLoaded || EntryIntact(table, entry, Crc32Update(0, data, entry->unpackedSize)))
        return 1;
    ShowPayloadDamage();
    return 0;
}

int FolderExistsAt(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// 1 when the existing file's last-write time is later than `time`; a file or time that cannot be read is not.
int ExistingFileIsNewer(const char* path, const ArchiveFileTime& time)
{
    FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (file.handle == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME lastWrite;
    if (!GetFileTime(file.handle, nullptr, nullptr, &lastWrite))
        return 0;
    uint64_t existing = ((uint64_t)lastWrite.dwHighDateTime << 32) | lastWrite.dwLowDateTime;
    return existing > FileTimeValue(time);
}

}  // namespace

ArchiveTable* OpenArchive(const void* source, uint32_t size)
{
    if (!source)
        return nullptr;
    if (size == 0)
        return OpenFile((const char*)source);
    return OpenImage((const unsigned char*)source, size);
}

const unsigned char* LoadEntry(const ArchiveTable* table, const char* name, uint32_t* size, int* owned)
{
    *owned = 0;
    uint64_t offset;
    const ArchiveEntry* entry = FindEntry(table, name, &offset);
    if (!entry)
        return nullptr;
    size_t workspaceSize;
    if (!ArchiveImage || !CheckEntryData(entry, offset, ArchiveImageSize) ||
        !EntryWorkspaceSize(entry, ArchiveImage + offset, &workspaceSize)) {
        ShowUndecodableEntry();
        return nullptr;
    }
    const unsigned char* stored = ArchiveImage + offset;
    const unsigned char* data = stored;
    if (EntryNeedsCopy(entry) || EntryNeedsDecoding(entry)) {
        // The callers want the bytes in memory: the whole file in one block, decoded into it in pieces.
        GlobalBlock file, workspace;
        if (entry->unpackedSize > WholeEntryLimit || !file.Allocate(entry->unpackedSize) ||
            !workspace.Allocate(workspaceSize)) {
            ShowUpdaterError(NoMemoryText);
            return nullptr;
        }
        BufferOutput out = {file.bytes};
        if (StreamEntry(entry, stored, workspace.bytes, workspaceSize, CopyPiece, &out) != EntryStreamDone) {
            ShowUndecodableEntry();
            return nullptr;
        }
        if (!DecodedEntryIntact(table, entry, file.bytes))
            return nullptr;
        data = file.Release();
        *owned = 1;
    } else if (!DecodedEntryIntact(table, entry, data)) {
        return nullptr;
    }
    if (size)
        *size = entry->unpackedSize;
    return data;
}

int ExtractEntry(const ArchiveTable* table, const char* name, const char* destination, int keepNewer)
{
    uint64_t offset;
    const ArchiveEntry* entry = FindEntry(table, name, &offset);
    if (!entry)
        return 0;

    // The drive string is the path's first two bytes ("C:"); the free-space query asks for that drive's root.
    char drive[3];
    PathDriveText(destination, drive);
    uint64_t available = 0, total = 0;
    // A failed query lets the extraction go on: the write itself fails cleanly on a full disk.
    if (QueryDriveFreeSpace(drive, &available, &total, nullptr) && entry->unpackedSize > available) {
        char text[1024];
        FormatText(text, sizeof text, DiskShortageFormat, drive, (uint64_t)(entry->unpackedSize - available));
        ShowUpdaterError(text);
        return 0;
    }

    if (!ArchiveImage || !CheckEntryData(entry, offset, ArchiveImageSize)) {
        ShowUndecodableEntry();
        return 0;
    }
    // The entry is decoded into a temporary file beside the destination before the destination is touched, so a
    // damaged entry leaves it as it was; the free-space test above already asked room for a whole new copy.
    char tempPath[MAX_PATH];
    HANDLE file = CreateTemporaryBeside(destination, tempPath);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    uint32_t sum = 0;
    EntryFileResult written = WriteEntryToFile(entry, ArchiveImage + offset, file, UpdateSumsLoaded ? &sum : nullptr);
    if (written == EntryFileWritten && !EntryIntact(table, entry, sum)) {
        DiscardTemporary(file, tempPath);
        ShowPayloadDamage();
        return 0;
    }
    if (written != EntryFileWritten) {
        DiscardTemporary(file, tempPath);
        if (written == EntryFileNoMemory)
            ShowUpdaterError(NoMemoryText);
        else if (written == EntryFileDamaged)
            ShowUndecodableEntry();
        return 0;
    }

    DWORD attributes = GetFileAttributesA(destination);
    if (FolderExistsAt(attributes)) {
        DiscardTemporary(file, tempPath);
        return 0;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    if (keepNewer && attributes != INVALID_FILE_ATTRIBUTES && ExistingFileIsNewer(destination, entry->fileTime)) {
        DiscardTemporary(file, tempPath);
        return 1;
    }

    FILETIME time;
    time.dwLowDateTime = entry->fileTime.lowDateTime;
    time.dwHighDateTime = entry->fileTime.highDateTime;
    return CommitTemporary(file, tempPath, destination, &time);
}

int LoadPayloadSums(const unsigned char* bytes, uint32_t size)
{
    PayloadSumsResult result = ReadPayloadSums(bytes, size, &UpdateSums);
    if (result == PayloadSumsDamaged) {
        ShowPayloadDamage();
        return 0;
    }
    UpdateSumsLoaded = result == PayloadSumsRead;
    return 1;
}

int CheckTableSums(const ArchiveTable* table, uint32_t imageSize)
{
    if (!UpdateSumsLoaded || PayloadSumsMatchArchive(&UpdateSums, table, imageSize))
        return 1;
    ShowPayloadDamage();
    return 0;
}

int EntryIntact(const ArchiveTable* table, const ArchiveEntry* entry, uint32_t sum)
{
    if (!UpdateSumsLoaded)
        return 1;
    uint32_t index = (uint32_t)(entry - ArchiveTableEntries(table));
    return index < UpdateSums.entryCount && PayloadEntrySum(&UpdateSums, index) == sum;
}
