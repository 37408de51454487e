#pragma once
// Whether the next start may act on the journal it finds. It settles a journal elevated, and the game's folder may
// be one that ordinary users can write (a folder under C:\, a shared data folder): a journal is acted on only when
// the file is one the updater wrote and every record stays inside the folders of today's installation record.
#include <windows.h>

#include <cstddef>

enum JournalTrust {
    JournalTrusted,
    JournalNotOurs,      // a link or a file with other names, an owner the updater's files never have, no Job
                         // record first, a path outside the job's folders or a file name not of the job
    JournalOtherPlace,   // a journal of this game at another place: the game was moved or its drive renamed
};

// The journal file, through the handle it was opened by (not following a link): a plain file with one name, owned
// by whom the updater's own files are owned by.
int JournalFileIsOurs(HANDLE file);

// The owner rule: the Administrators group or SYSTEM (an elevated process's files, by default), or this process's
// token's default owner or user (files the updater wrote under a policy that makes the creator the owner, or not
// elevated). Any other account may have planted the file.
int IsUpdaterOwner(PSID owner, PSID tokenOwner, PSID tokenUser);

// The records against the installation (`installFolder`, `dataFolder`, as the registry gives them today). With
// JournalOtherPlace, `recordedFolder` (MAX_PATH bytes) is the installation folder the journal names.
JournalTrust CheckJournalRecords(const unsigned char* bytes, size_t size, const char* installFolder,
                                 const char* dataFolder, char* recordedFolder);
