#pragma once
// The job runs elevated in folders that other users of the machine may change: a junction, a symbolic link or a
// second name (hard link) put there would carry its moves, deletions and changes to files elsewhere. So the
// installation and data folders are resolved to their final paths once, and every file or folder the job changes
// is opened as itself (never through a link at its end), checked to be no link and still inside one of them (its
// final path), and changed through that handle. A move goes in relative to its checked, held destination folder.
#include <windows.h>

#include "job/job_plan.h"

// Where the first link was found (ANSI, as the box shows it); empty until one is (the job empties it as it starts). A call that refuses a link fails
// with LinkFoundError.
extern char LinkFoundPath[MAX_PATH];
const DWORD LinkFoundError = ERROR_CANT_RESOLVE_FILENAME;

// The folders every change must stay inside, resolved to their final paths now. An empty or unopenable data folder
// adds none. 0 when the installation folder cannot be opened.
int UseJobFolders(const char* installFolder, const char* dataFolder);

// `path`, opened as itself with `access` and `share` (OPEN_EXISTING; folders too) and checked. INVALID_HANDLE_VALUE
// with the system's error, or with LinkFoundPath set when it is a link or lies outside the job's folders.
HANDLE OpenJobFile(const wchar_t* path, DWORD access, DWORD share);

// The changes, each through a checked handle. 0 on failure (LinkFoundPath tells a link from another error).
int MoveJobFile(const wchar_t* from, const wchar_t* to);  // never over an existing file
int DeleteJobFile(const wchar_t* path);
int RemoveJobFolder(const wchar_t* path);  // an empty one
int CreateJobFolder(const wchar_t* path);
// Attributes and times change the file under every name it has: a file with a second name is refused as a link.
int SetJobAttributes(const wchar_t* path, DWORD attributes);
int SetJobTimes(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite);
// A new file (CREATE_NEW) in a checked, held folder.
HANDLE CreateJobFile(const wchar_t* path, DWORD access, DWORD flagsAndAttributes);

// Before any change: every folder the plan writes or creates in, every target and every file whose attributes it
// changes is checked (the part of a path that exists yet). 0 with LinkFoundPath set at the first link.
int PlanIsFreeOfLinks(const JobPlan* plan);

// The box that names the path where a link was found, once LinkFoundPath is set.
void ShowLinkFound();

// An ANSI path as UTF-16, read in the system's code page as the ANSI calls read it; empty when it does not convert.
void WidenPath(const char* path, wchar_t* wide);
