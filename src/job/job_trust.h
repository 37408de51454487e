#pragma once
// Whether the next start may act on the journal it finds. It settles a journal elevated, and the game's folder may
// be one that ordinary users can write: a journal is acted on only as far as the job's seal (job_seal.h) allows,
// never by who owns the file or by what the registry of the player's account says today.
#include <windows.h>

#include <cstddef>

enum JournalTrust {
    JournalTrusted,          // the journal holds its seal's plan or the start of it, where the seal says
    JournalWithoutSeal,      // no job of this updater sealed it: written by someone else, or its seal is gone
    JournalDiffersFromSeal,  // it names a step its seal does not hold
    JournalOtherPlace,       // the seal's journal, found where the game is today and not where the seal says
};

// The journal's file, through the handle it was opened by (not following a link): a plain file, not a folder or
// a link.
int JournalFileIsPlain(HANDLE file);

// The installation folder a seal names (its Job record) into `folder` (MAX_PATH bytes); 0 when it names none.
int SealedFolder(const unsigned char* seal, size_t sealSize, char* folder);

// A journal found in `foundIn` against `seal` (null: none). With JournalOtherPlace, `recordedFolder` (MAX_PATH
// bytes) is the installation folder of the seal.
JournalTrust JudgeJournal(const unsigned char* bytes, size_t size, const unsigned char* seal, size_t sealSize,
                          const char* foundIn, char* recordedFolder);
