#pragma once
// A virus scanner often holds a file it has just seen written for a moment: a move or a deletion that meets a
// sharing violation is tried again for a short while before it counts as failed, in the commit and in a rollback
// alike. A file held by a running program stays held. Both go through checked handles (job_links.h): a link is
// never followed and never retried.
#include <windows.h>

int MoveHeldFile(const wchar_t* from, const wchar_t* to);
int DeleteHeldFile(const wchar_t* path);
