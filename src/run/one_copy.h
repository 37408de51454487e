#pragma once
// The guard between copies of the updater for one game: a named mutex, held from before the start settles an
// interrupted job until the updater ends. A journal is never judged running by whether it can be opened: a
// scanner or a backup tool may be reading it.

// 1 when no other copy for this game (CompanyName and GameDir of UPDATE.INI) runs, in any session; this copy then
// holds the guard. 0 when another copy holds it.
int ClaimOnlyCopy();
void ReleaseOnlyCopy();

// The guard's name for a game into `name` (64 bytes).
void OnlyCopyName(const char* company, const char* gameDir, char* name);
