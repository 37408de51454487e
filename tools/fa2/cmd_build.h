#pragma once
// fa2 build: checks a folder holding UPDATE.INI and the update's files, packs them, and writes the archive into
// a copy of the updater executable as its payload resource, with the payload's sums beside it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "block_encoder.h"
#include "build_progress.h"

// Exit codes of fa2 build. The source folder's problems get their own code so that a build server can tell
// them from a broken stub or a full disk.
const int BuildExitOk = 0;
const int BuildExitFailed = 1;   // a file could not be read or written, the stub is unusable
const int BuildExitUsage = 2;    // the command line, or an output that cannot go where it is asked to
const int BuildExitInvalid = 3;  // UPDATE.INI or the folder has problems; nothing was written

struct BuildOptions {
    std::string sourceDir;
    std::string output;
    std::string stub;       // the updater executable to copy
    EncodeLevel level;
    ArchiveCodec codec = CodecBlock;
    int store;              // 1: compress nothing
    int scramble;           // 1: scramble the entries the updater extracts
    int fixedTime;          // 1: every entry gets `fileTime` instead of its file's time
    uint64_t fileTime;      // FILETIME
    ProgressMode progress;
    int jobs = 2;           // LZMA entries compressed at once (1 or 2); the output is the same either way
    std::vector<std::string> fromDirs;  // old releases, as installed (up to 8): a file there gets a delta
    int fallbackWhole = 0;  // 1: each file's deltas are followed by its whole entry
};

// The payload's place in the updater executable, and its sums beside it.
const char* const PayloadType = "UPDATE";
const uint16_t PayloadId = 102;
const uint16_t PayloadLanguage = 1041;

// fa2 build with its command-line arguments; takes SOURCE_DATE_EPOCH from the environment.
int RunBuild(const std::vector<std::string>& args);

// The build itself: problems and progress go to `err`, one line each, the summary to `out`.
int BuildUpdater(const BuildOptions& options, FILE* out, FILE* err);

// SOURCE_DATE_EPOCH's text as a FILETIME: decimal seconds since 1970, nothing else. 0 when not such a number.
int ParseSourceDateEpoch(const char* text, uint64_t* fileTime);
