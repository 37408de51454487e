#pragma once

// Every caller's token buffer holds this many bytes, the NUL included.
const int ListTokenSize = 260;

// Disk number of the latest disk prefix ("2:file.dat") met by NextListToken; it stays in force until the next one.
extern int CurrentDiskNo;

int IsListBlank(unsigned char c);
int IsListSeparator(unsigned char c);

// Copies the next token of a comma list into `token` (ListTokenSize bytes) and moves `*cursor` past it.
// Returns 0, with `token` untouched, when no token starts at the cursor. A token longer than the buffer is cut on a
// character boundary, the rest of its item is skipped, and `*wasCut` (when given) tells the caller.
int NextListToken(char* token, char** cursor, int* wasCut = nullptr);
