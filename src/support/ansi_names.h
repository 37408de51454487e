#pragma once
#include <windows.h>

#include <cstddef>

// Names on disk stay ANSI: the game and its installer reach their files through the system's code page, and the
// updater must reach exactly what they wrote. These functions find an ANSI name that reaches a path whose
// natural ANSI form is lossy.

// The ANSI form of a path of at most MAX_PATH units, when it turns back into exactly `wide`: returns its length
// (written to `ansi` only when it fits `size` bytes with its NUL), or 0 when the form is lossy.
DWORD LosslessAnsiForm(const wchar_t* wide, char* ansi, DWORD size);

// The folder for the updater's temporary file, with its trailing backslash. Returns its length as GetTempPathA
// does: 0 when there is none, `size` or more when it does not fit (nothing is written then).
//
// The user's temporary folder comes first. When its ANSI form is lossy (a user name with a character outside the
// code page, such as "é" on a Japanese system), its short (8.3) form is taken; when that is lossy too (short
// names switched off on the volume), a folder of the user's own under the system's temporary folder, named after
// the user's SID, open to that user alone, and refused when someone else owns it.
DWORD GetUpdaterTempFolder(char* folder, DWORD size);

// An update item's target, `target` (a buffer of `size` bytes). When nothing exists under its ANSI name but
// something does under the name read as code page 932 (a game unpacked by a Unicode tool on a system with
// another code page), `target` becomes the short form of that name, which the ANSI calls reach. Otherwise, and
// when the volume keeps no short names, `target` stays as it is. On a code page 932 system the two names are one.
void ResolveTargetName(char* target, size_t size);
