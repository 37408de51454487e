#pragma once
// A run that was killed or lost power in the middle of its job is finished by the next start: right after the
// registry has given the installation folder, before every other check, the journal the job left there is settled
// (rolled back, or cleaned up after a commit that was done) and the player is told in one box what was done.
// The journal is looked for where the job's seal says (job_seal.h), else where `game` is today, and acted on only as
// far as the seal allows (job_trust.h); one it may not act on is left as it is, with a box that says why and what
// to do. The caller holds the guard between copies (run/one_copy.h): no job of this game is running.
#include "support/updater_values.h"

// 1 to go on with the start-up (also when there was nothing to do); 0 after the box saying that the files could not
// be put right or the journal was left alone, with the journal kept.
int FinishInterruptedJob(const InstalledGame& game);

// The boxes a job shows when it could not put the installation back as it was: a file in use (%s: the mode word),
// or a file whose old version is gone (%s: its path), or every file put back but the journal unable to record it
// (%s: the mode word).
extern const char StuckFormat[];
extern const char LostFormat[];
extern const char UnrecordedFormat[];
