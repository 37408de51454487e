#pragma once
// Renames reach the disk when the file system gets to them, and each volume on its own. NTFS logs every rename and
// writes its log in order, so once a flush on a volume has returned, every rename made on it before is on the disk.
// FAT and exFAT keep no log: a rename is an entry of its folder (and the allocation table), written whenever the
// cache gets to it, and flushing the folder writes that folder's entries out. No file system orders two volumes.
// So every folder a journal's files were renamed, removed or created in is flushed before the journal says the
// commit is done, and again before a settled journal is removed: a power cut can then never keep the record while
// losing the renames on the data folder's drive. (Under Wine a folder's flush is an fsync of the folder, which is
// what makes a rename durable on a Linux file system.)
#include <cstddef>

// 1 when every folder the journal's records name a file or created folder in is flushed, or is gone, or is on a
// file system that has no flush to offer (a network share); 0 when a flush failed.
int FlushJournalFolders(const unsigned char* bytes, size_t size);
