#pragma once
// The job's seal: what a job will do (its journal's header and plan records, journal_format.h), kept where only
// administrators can write, in the updater's own key HKLM\SOFTWARE\FA2 Updater under the game's name (NameJobSeal). The updater runs elevated over folders other users may be able to write: a journal
// there is acted on only as far as its seal allows, and never by what the folder or the player's own registry say.
//
// The key is always the 64-bit view (the same key for both builds; 32-bit Windows has only that one). Before each
// use it is opened as itself, not through a link, and refused when it is a link, its owner is not the
// Administrators group or SYSTEM, or its access list lets anyone else change it (set a value, make a subkey or a
// link, delete it, change its list or owner).
#include <cstddef>

enum SealState {
    SealNone,        // this game has no seal
    SealFound,
    SealKeyUnsafe,   // the key is a link or others may write it: nothing in it is believed
    SealUnreadable,  // no memory, or a value that is no seal's
};

// The game the seals of this run are of: CompanyName and GameDir as UPDATE.INI gives them, which name the game's
// registry record (SETUP.INI may give other values later in the run).
void NameJobSeal(const char* company, const char* gameDir);

// This game's seal into a GlobalAlloc block (`*bytes`, `*size`) with SealFound.
SealState ReadJobSeal(unsigned char** bytes, size_t* size);

// Writes this game's seal (flushed to the disk before it returns). `first`: the job's first seal, refused when the
// game has one already (a journal that is still to be settled). 0 on failure.
int WriteJobSeal(const unsigned char* bytes, size_t size, int first);

// Removes this game's seal: the job is over and its journal gone. 0 when it is still there.
int RemoveJobSeal();

// 1 when a security descriptor of the key leaves its changes to the administrators (the rule above).
int SealKeySecurityIsSafe(void* descriptor);
