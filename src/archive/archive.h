#pragma once
// The updater's side of the archive: opening it over the payload and serving entries by name.
// (Declarations agreed with the start-up and the update job; the archive helper implements them in archive.cpp.)
#include <cstdint>

#include "archive/archive_format.h"
#include "archive/payload_sums.h"

// The payload's bytes, where the resource loader mapped them; read-only and valid until the process ends.
extern const unsigned char* ArchiveImage;
extern uint32_t ArchiveImageSize;

// The table opened at start-up; the start-up owns it until ShutdownUpdater releases it with GlobalFree.
extern ArchiveTable* UpdateArchive;

// `size` non-zero: `source` is an archive image of that many bytes. `size` 0: `source` is a file path.
// Returns a GlobalAlloc block, or null without a message.
ArchiveTable* OpenArchive(const void* source, uint32_t size);

// The entry's bytes (decompressed, descrambled), and its unpackedSize in `*size` when given; null after its
// message. `*owned` says who releases them: 0 for a plain entry, whose bytes are the image's own (never freed);
// 1 for a new GlobalAlloc block that belongs to the caller.
const unsigned char* LoadEntry(const ArchiveTable* table, const char* name, uint32_t* size, int* owned);

// Writes the entry to `destination` (its folder must exist), or under `keepNewer` keeps a later file. 1 on
// success; 0 after its own message (missing entry, no memory, no disk space) or silently (folder, write failed).
int ExtractEntry(const ArchiveTable* table, const char* name, const char* destination, int keepNewer);

// The payload's sums (resource UPDATE 103), when the updater carries them: read at start-up, before any entry
// is opened. Without them every entry counts as intact, as before there were sums.
extern PayloadSums UpdateSums;
extern int UpdateSumsLoaded;
// 1 once DamagedPayloadText was shown: callers that would add a message of their own stay quiet.
extern int PayloadDamageShown;

// Takes the sums resource's bytes (valid until the process ends). 0 after the damage message when they are
// damaged; a later format of them is taken as none.
int LoadPayloadSums(const unsigned char* bytes, uint32_t size);

// 1 when the opened table is the one the sums were written for (or there are no sums); 0 after the damage
// message.
int CheckTableSums(const ArchiveTable* table, uint32_t imageSize);

// 1 when `sum`, the CRC-32 (Crc32Update from 0) of the unpacked bytes of `entry`, a record of `table`, is the
// sum packed for it, or there are no sums. Shows nothing: a caller that gets 0 shows DamagedPayloadText before
// anything of the entry reaches the game.
int EntryIntact(const ArchiveTable* table, const ArchiveEntry* entry, uint32_t sum);
