#pragma once
// Paths the update names relative to a folder of the game: an update item, DataFolder, a copy item (which is both
// the source on the disc and, below the installation folder, the destination). The updater runs elevated, so a
// path that could leave its folder or reach a device is refused, whatever the publisher meant; the publisher's
// tool checks with the same rules. Portable; cp932-aware (a trail byte 0x5C is no separator).

// 1 when `path` stays inside the folder it is joined to: not absolute ("\x", "\\server", "C:..."), no ':' anywhere
// (a drive or an alternate data stream), no component made of dots alone other than "." (".." and the like), and
// no reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$) as a component, with or without an
// extension or trailing blanks. The empty path names the folder itself and is inside.
int IsPathInsideFolder(const char* path);

// 1 when a copy source names the whole disc: nothing but separators, dots-only components and the match-all
// wildcards "*" and "*.*" ("", "\", ".\.", "*.*", "\*").
int NamesWholeDisc(const char* path);
