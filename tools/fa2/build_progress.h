#pragma once
// fa2 build's progress on stderr: on a terminal one line that a ticker redraws a few times a second, otherwise a
// plain line every few seconds; and a last line with what was done, either way. The work reports what it has
// done (cheaply, from its own thread); the ticker reads it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

enum ProgressMode {
    ProgressNone,      // nothing (tests)
    ProgressTerminal,  // one line redrawn in place
    ProgressLines,     // a plain line every ProgressLineSeconds
};

struct BuildProgress {
    FILE* err;
    ProgressMode mode;
    std::mutex lock;
    std::condition_variable wake;
    std::thread ticker;
    int stopping;
    // What the work has reported.
    const char* phase;      // "packing", "checking", "writing"
    std::string current;    // the file at hand (UTF-8)
    size_t entriesDone, entriesTotal;
    uint64_t bytesDone, bytesTotal;
    int compressing;  // 1: an entry is being compressed from bytesDone on; EncodeBlockProgress tells how far
    const char* step;  // what a delta's work is doing now ("matching"), or null
    uint64_t shownDone;  // the most bytes the line has shown in this phase: it never goes back
    // Entries compressed ahead on threads of their own: how far each is (its counter is zeroed as it goes in).
    const std::atomic<size_t>* aside[2] = {nullptr, nullptr};
    std::chrono::steady_clock::time_point start, phaseStart;
};

void StartProgress(BuildProgress* progress, FILE* err, ProgressMode mode);
// A new phase over `entries` entries and `bytes` bytes.
void ProgressPhase(BuildProgress* progress, const char* phase, size_t entries, uint64_t bytes);
void ProgressFile(BuildProgress* progress, const std::string& current);
void ProgressDone(BuildProgress* progress, size_t entriesDone, uint64_t bytesDone);
// An entry's compression starts after `bytesBefore` bytes; the line moves with the encoder inside it.
void ProgressCompressing(BuildProgress* progress, uint64_t bytesBefore);
// What the entry under way is doing, shown on the line until the next ProgressDone (null: nothing). A delta is
// several passes over one file; each restarts EncodeBlockProgress, and the line holds its furthest point.
void ProgressStep(BuildProgress* progress, const char* step);
// The line as the ticker draws it (the lock is taken here).
std::string ProgressLine(BuildProgress* progress);
// Stops the ticker and writes `summary` as the last line (nothing with ProgressNone).
void StopProgress(BuildProgress* progress, const std::string& summary);

std::string MegaBytes(double bytes);
