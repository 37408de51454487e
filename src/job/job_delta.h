#pragma once
// Delta entries in the job: an entry that carries only what changed against the installed file. Planning holds the
// installed file to the entry's base (its size and SHA-256, read in pieces) before anything moves; staging decodes
// the delta into the staged file while it reads the installed file, still in place, through a small window.
#include <cstddef>
#include <cstdint>

#include "archive/archive_format.h"
#include "archive/entry_stream.h"

// Working memory the entry needs to be staged, whatever its method. 0 when it cannot be decoded at all: damage.
int StagedEntryWorkspace(const ArchiveEntry* entry, const unsigned char* stored, size_t* size);

// For the delta `entry` (stored at `offset` in the image) about to be written to `target`, shown to the player as
// `shown`: the entry to stage in `*use` and `*useOffset`, the delta itself when the installed file is its base, the
// whole file riding along with it when the installed file differs and the update carries one. 1 then; 0 after the
// box that says why, or without a box when the player cancelled while the installed file was read.
int ChooseDeltaSource(const ArchiveEntry* entry, uint64_t offset, const char* target, const char* shown,
                      const ArchiveEntry** use, uint64_t* useOffset);

// The new file's bytes from the delta `entry` (its stored bytes at `stored`) over the installed file `target`, to
// `output`, through `workspace` (StagedEntryWorkspace bytes). The file stays open from a second check against the
// base through the last read, shared for reading only: planning's check closed it, and another program may have
// changed it since. EntryStreamOldUnreadable when `target` cannot be opened or read, with `*changed` 1 when it is
// missing or no longer the base; EntryStreamStopped when Cancel stopped the check.
EntryStreamResult StreamDeltaOverTarget(const ArchiveEntry* entry, const unsigned char* stored, const char* target,
                                        unsigned char* workspace, size_t workspaceSize, EntryOutput output,
                                        void* context, int* changed);

// The box for an installed file (`shown` to the player, the %s of the format) that changed between planning and
// staging.
extern const char DeltaBaseChangedFormat[];
void ShowDeltaBaseChanged(const char* shown);
