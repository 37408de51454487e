#include "job/job_delta.h"

#include <windows.h>

#include <cstring>

#include "archive/archive.h"
#include "archive/delta_decoder.h"
#include "job/job_sink.h"
#include "job/job_stage.h"
#include "support/messages.h"
#include "support/owned.h"
#include "support/text_format.h"
#include "support/file_calls.h"

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
    // Others may read it meanwhile; nobody may change it while the delta is built on it.
    return Files.CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The installed file held to the delta's base: OldFileMatches, OldFileDiffers (also when it is missing), or
// OldFileUnreadable.
OldFileCheck CheckInstalled(const DeltaBase* base, const char* target, int* cancelled)
{
    FileHandle file(OpenInstalled(target));
    if (file.handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND ? OldFileDiffers
                                                                                                  : OldFileUnreadable;
    LARGE_INTEGER size;
    if (!Files.GetFileSizeEx(file.handle, &size))
        return OldFileUnreadable;
    GlobalBlock buffer;
    if (!buffer.Allocate(DeltaOldWindow))
        return OldFileUnreadable;
    InstalledFile installed = {file.handle, 1, 0};
    OldFileReader reader = {ReadInstalled, &installed};
    OldFileCheck check = CheckDeltaOldFile(base, (uint64_t)size.QuadPart, &reader, buffer.bytes, DeltaOldWindow);
    *cancelled = installed.cancelled;
    return check;
}

}  // namespace

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
    OldFileCheck check = CheckInstalled(&base, target, &cancelled);
    if (cancelled)
        return 0;
    if (check == OldFileMatches) {
        *use = entry;
        *useOffset = offset;
        return 1;
    }
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
                                        void* context)
{
    FileHandle file(OpenInstalled(target));
    if (file.handle == INVALID_HANDLE_VALUE)
        return EntryStreamOldUnreadable;
    InstalledFile installed = {file.handle, 0, 0};
    OldFileReader reader = {ReadInstalled, &installed};
    return StreamDeltaEntry(entry, stored, &reader, workspace, workspaceSize, output, context);
}
