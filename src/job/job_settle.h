#pragma once
// Brings the player's files to one consistent state from what a journal records, whether the job that wrote it
// failed (its own rollback) or died (the next start). Without a CommitDone record everything the job did is undone:
// the new files that went in are removed and the backups moved back, attributes restored, staged files deleted,
// created folders removed. With it, the update stands and only the backups are removed. Each action looks at what
// is on the disk first, so settling a journal a second time, after a settling that was itself cut short, is safe.
// A rollback records in the journal when every target is back (CommitUndone), before it removes the staged files
// that told it how far each target had gone.
#include <windows.h>

#include <cstddef>

enum SettleResult {
    SettledNothing,     // the journal records no step at all
    SettledRolledBack,  // the installation is as it was before the job
    SettledCleanedUp,   // the job had committed; its leftovers are gone
    SettleStuck,        // a file could not be moved or removed (it is in use): the journal must stay
    SettleLost,         // a target's backup is gone (a scanner removed it): its old file cannot come back; every
                        // other file is back, and the journal must stay
    SettleUnrecorded,   // every target is back, but the record that says so could not be written (a read-only
                        // journal, a full disk, a failed flush): the journal must stay
};

// `journal` is the journal's file, open for writing at its end, for the CommitUndone record. With SettleLost,
// `lostFile` (MAX_PATH bytes) is the target whose old file is gone.
SettleResult SettleJournal(const unsigned char* bytes, size_t size, HANDLE journal, char* lostFile);

// After a rollback, once the journal file itself is gone: the folders the job wrote into get back the last-write
// times they had before it.
void RestoreFolderTimes(const unsigned char* bytes, size_t size);
