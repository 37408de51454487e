#pragma once
// Scratch files that must not outlive the tool when it is stopped: Ctrl-C, SIGTERM and SIGHUP (on Windows, a
// console Ctrl-C, Ctrl-Break or close) remove them, then the tool stops as the signal asks. SIGKILL cannot be
// caught and leaves them behind.
#include <string>

const int StopCleanupSlots = 6;

// Removes `path` on a stop from now on. The name is prepared here, so the handler only has to unlink it.
void RemoveOnStop(int slot, const std::string& path);
// Forgets the slot's file (removed, or moved into its place).
void KeepOnStop(int slot);
// Installs the handlers once; a signal the tool was started with ignored (nohup) stays ignored.
void InstallStopHandlers();
