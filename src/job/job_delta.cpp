#include "job/job_delta.h"

#include <windows.h>

#include <cstring>

#include "archive/archive.h"
#include "archive/delta_decoder.h"
#include "job/job_sink.h"
#include "job/job_stage.h"
#include "support/file_calls.h"
#include "support/messages.h"
#include "support/owned.h"
#include "support/text_format.h"

namespace {

const char WrongBaseFormat[] =
    "「%s」が、このアップデートの対象のバージョンのファイルではありません（ファイルがないか、内容が違います）。"
    "このアップデートは、発売元がアップデートを作成したときのバージョンのゲーム用です。ゲームのファイルは何も"
    "変更していません";

// The installed file, read at chosen offsets. While planning, a Cancel stops the reading.
struct InstalledFile {
    HANDLE handle;
    int watchCancel;
    int cancelled;
};

int ReadInstalled(void* context, uint64_t offset, unsigned char* bytes, size_t count)
{
    InstalledFile* file = (InstalledFile*)context;
    if (file->watchCancel && JobStopRequested()) {
        file->cancelled = 1;
        return 0;
    }
    while (count > 0) {
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD piece = count > (1u << 20) ? (1u << 20) : (DWORD)count, got = 0;
        if (!Files.ReadFile(file->handle, bytes, piece, &got, &at) || got == 0)
            return 0;
        bytes += got;
        offset += got;
        count -= got;
    }
    return 1;
}

HANDLE OpenInstalled(const char* target)
{
    // Others may read it meanwhile; nobody may write, rename or delete it while the delta is built on it.
    return Files.CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The open installed file held to the delta's base: OldFileMatches, OldFileDiffers or OldFileUnreadable.
OldFileCheck CheckOpenInstalled(const DeltaBase* base, HANDLE handle, int* cancelled)
{
    LARGE_INTEGER size;
    if (!Files.GetFileSizeEx(handle, &size))
        return OldFileUnreadable;
    GlobalBlock buffer;
    if (!buffer.Allocate(DeltaOldWindow))
        return OldFileUnreadable;
    InstalledFile installed = {handle, 1, 0};
    OldFileReader reader = {ReadInstalled, &installed};
    OldFileCheck check = CheckDeltaOldFile(base, (uint64_t)size.QuadPart, &reader, buffer.bytes, DeltaOldWindow);
    *cancelled = installed.cancelled;
    return check;
}

// The open installed file's SHA-256; 0 when it cannot be read (or Cancel stopped the reading: `*cancelled`).
int HashInstalled(HANDLE handle, uint64_t size, unsigned char digest[Sha256Size], int* cancelled)
{
    GlobalBlock buffer;
    InstalledFile installed = {handle, 1, 0};
    OldFileReader reader = {ReadInstalled, &installed};
    int read = buffer.Allocate(DeltaOldWindow) && HashOldFile(size, &reader, buffer.bytes, DeltaOldWindow, digest);
    *cancelled = installed.cancelled;
    return read;
}

// Of the deltas from `entry` on (one per old release the update was built from), the one whose base is the
// installed file: size first, then its SHA-256, read once whatever the number of deltas. OldFileMatches with
// `*use` and `*useOffset` set, OldFileDiffers (also for a missing file), OldFileUnreadable, or 0 for a damaged
// header.
int MatchInstalled(const ArchiveEntry* entry, uint64_t offset, const char* target, const ArchiveEntry** use,
                   uint64_t* useOffset, OldFileCheck* check, int* cancelled)
{
    uint32_t run = DeltaRunLength(UpdateArchive, entry);
    FileHandle file(OpenInstalled(target));
    DWORD openError = GetLastError();
    LARGE_INTEGER size;
    size.QuadPart = -1;
    if (file.handle != INVALID_HANDLE_VALUE && !Files.GetFileSizeEx(file.handle, &size)) {
        *check = OldFileUnreadable;
        return 1;
    }
    unsigned char digest[Sha256Size];
    int hashed = 0;
    *check = file.handle == INVALID_HANDLE_VALUE && openError != ERROR_FILE_NOT_FOUND &&
                     openError != ERROR_PATH_NOT_FOUND
                 ? OldFileUnreadable
                 : OldFileDiffers;
    for (uint32_t k = 0; k < run; k++) {
        const ArchiveEntry* delta = entry + k;
        DeltaBase base;
        if (!CheckEntryData(delta, offset, ArchiveImageSize) || !ReadDeltaBase(delta, ArchiveImage + offset, &base))
            return 0;
        if (file.handle != INVALID_HANDLE_VALUE && (uint64_t)size.QuadPart == base.oldSize) {
            if (!hashed && !HashInstalled(file.handle, base.oldSize, digest, cancelled)) {
                *check = OldFileUnreadable;
                return 1;
            }
            hashed = 1;
            if (memcmp(digest, base.oldSha256, Sha256Size) == 0) {
                *use = delta;
                *useOffset = offset;
                *check = OldFileMatches;
                return 1;
            }
        }
        offset += PaddedStoredSize(delta->storedSize);
    }
    return 1;
}

}  // namespace

const char DeltaBaseChangedFormat[] =
    "「%s」が、アップデートの確認の後に、ほかのプログラムによって変更されました。ゲームのファイルは元のままです。"
    "ほかのプログラムを終了してから、もう一度アップデートしてください";

int StagedEntryWorkspace(const ArchiveEntry* entry, const unsigned char* stored, size_t* size)
{
    if (EntryMethodOf(entry) == EntryMethodDelta)
        return DeltaWorkspaceSize(entry, stored, size);
    return EntryWorkspaceSize(entry, stored, size);
}

int ChooseDeltaSource(const ArchiveEntry* entry, uint64_t offset, const char* target, const char* shown,
                      const ArchiveEntry** use, uint64_t* useOffset)
{
    DeltaBase base;
    if (!ReadDeltaBase(entry, ArchiveImage + offset, &base)) {
        ShowEntryDamage(0);
        return 0;
    }
    JobStartFile(shown);
    int cancelled = 0;
    OldFileCheck check;
    if (!MatchInstalled(entry, offset, target, use, useOffset, &check, &cancelled)) {
        ShowEntryDamage(0);
        return 0;
    }
    if (cancelled)
        return 0;
    if (check == OldFileMatches)
        return 1;
    if (check == OldFileUnreadable) {
        JobShowError(WriteFailureText);
        return 0;
    }
    if (base.hasWhole) {
        if (FindWholeFallback(UpdateArchive, entry, use, useOffset) &&
            CheckEntryData(*use, *useOffset, ArchiveImageSize))
            return 1;
        ShowEntryDamage(0);
        return 0;
    }
    char text[1024];
    FormatText(text, sizeof text, WrongBaseFormat, shown);
    JobShowError(text);
    return 0;
}

EntryStreamResult StreamDeltaOverTarget(const ArchiveEntry* entry, const unsigned char* stored, const char* target,
                                        unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                        void* context, int* changed)
{
    *changed = 0;
    DeltaBase base;
    if (!ReadDeltaBase(entry, stored, &base))
        return EntryStreamDamaged;
    FileHandle file(OpenInstalled(target));
    if (file.handle == INVALID_HANDLE_VALUE) {
        *changed = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        return EntryStreamOldUnreadable;
    }
    // Planning closed the file: checked again on the handle the delta reads, which nobody can change now.
    int cancelled = 0;
    OldFileCheck check = CheckOpenInstalled(&base, file.handle, &cancelled);
    if (cancelled)
        return EntryStreamStopped;
    if (check != OldFileMatches) {
        *changed = check == OldFileDiffers;
        return EntryStreamOldUnreadable;
    }
    InstalledFile installed = {file.handle, 0, 0};
    OldFileReader reader = {ReadInstalled, &installed};
    return StreamDeltaEntry(entry, stored, &reader, workspace, workspaceSize, output, context);
}

void ShowDeltaBaseChanged(const char* shown)
{
    char text[1024];
    FormatText(text, sizeof text, DeltaBaseChangedFormat, shown);
    JobShowError(text);
}
