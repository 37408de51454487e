#pragma once
// A run that was killed or lost power in the middle of its job is finished by the next start: right after the
// registry has given the installation folder, before every other check, the journal the job left there is settled
// (rolled back, or cleaned up after a commit that was done) and the player is told in one box what was done.

// 1 to go on with the start-up (also when there was nothing to do, or the journal belongs to a job that is still
// running); 0 after the box saying that the files could not be put right, with the journal kept for the next try.
int FinishInterruptedJob();

// The box a job shows when it could not put the installation back as it was.
extern const char StuckFormat[];
