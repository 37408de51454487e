// One entry of an updater produced as the update job stages it, under Wine (a benchmark, not a test): a delta
// entry applied over its old file against a whole entry decoded, for bench/delta_apply.sh.
//   win32_delta_apply_bench UPDATER NAME OUTPUT [OLD] [--rounds N] [--markers DIR]
// The entry goes through the job's own calls: StagedEntryWorkspace, then StreamDeltaOverTarget over OLD (the
// installed file, read through the decoder's window) for a delta, or StreamEntry for any other method; each piece
// goes to OUTPUT with its CRC-32, held to the payload's sum at the end. Before a delta the job's planning holds the
// installed file to the delta's base (ChooseDeltaSource: size and SHA-256, read in pieces); that is timed apart.
// Output files are not flushed: the job flushes on a second thread while it decodes the next file.
// The peak resident set of the Wine process can only be read from outside: with --markers the program leaves
// `loaded` in DIR once the archive is in memory and `done` after the last round, and waits a second after each
// so that a watcher can reset the peak at the first and read it at the second.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/delta_decoder.h"
#include "archive/entry_file.h"
#include "archive_reader.h"
#include "job/job_delta.h"
#include "job/job_sink.h"

namespace {

struct Options {
    std::string updater, name, output, old, markers;
    int rounds = 3;
};

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The job's boxes become lines here; nothing stops it, and no disc is asked for.
int PrintError(void*, const char* text)
{
    printf("the job would show: %s\n", text);
    return IDOK;
}
int NoDisc(void*, const char*) { return IDCANCEL; }
void NoInfo(void*, const char*, const char*) {}
void NoTotal(void*, uint64_t) {}
void NoFile(void*, const char*) {}
void NoBytes(void*, uint64_t) {}
int NeverStop(void*) { return 0; }
int Commit(void*) { return 1; }
const JobSink QuietSink = {nullptr, PrintError, NoDisc, NoInfo, NoTotal, NoFile, NoBytes, NeverStop, Commit};

// As the job's staged output: the sink is asked for a Cancel and told the bytes, then the piece is written.
int WriteStagedPiece(void* context, const unsigned char* bytes, size_t count)
{
    if (JobStopRequested())
        return 0;
    if (!WriteEntryPiece(context, bytes, count))
        return 0;
    JobAddBytes(count);
    return 1;
}

void LeaveMarker(const Options& options, const char* name)
{
    if (options.markers.empty())
        return;
    HANDLE marker = CreateFileA((options.markers + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                nullptr);
    CloseHandle(marker);
    Sleep(1000);
}

int ParseOptions(int argc, char** argv, Options* options)
{
    std::vector<std::string> plain;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            options->rounds = atoi(argv[++i]);
        else if (arg == "--markers" && i + 1 < argc)
            options->markers = argv[++i];
        else
            plain.push_back(arg);
    }
    if (plain.size() < 3 || plain.size() > 4 || options->rounds < 1)
        return 0;
    options->updater = plain[0];
    options->name = plain[1];
    options->output = plain[2];
    if (plain.size() == 4)
        options->old = plain[3];
    return 1;
}

// The payload in memory as the updater has it (image, opened table) and its sums, as the start-up reads them.
int LoadPayload(const std::string& path, LoadedArchive* loaded, LoadedArchive* sums)
{
    std::vector<unsigned char> bytes;
    std::string error;
    if (!LoadArchiveInput(path, &bytes, &error) || !OpenLoadedArchive(&bytes, loaded, &error) ||
        !OpenArchiveFile(path, sums, &error)) {
        printf("%s: %s\n", path.c_str(), error.c_str());
        return 0;
    }
    ArchiveImage = loaded->image.data();
    ArchiveImageSize = (uint32_t)loaded->image.size();
    UpdateArchive = OpenArchive(ArchiveImage, ArchiveImageSize);
    if (!UpdateArchive) {
        printf("OpenArchive refused %s\n", path.c_str());
        return 0;
    }
    if (sums->hasSums && sums->sumsState == PayloadSumsRead &&
        PayloadSumsMatchArchive(&sums->sums, UpdateArchive, ArchiveImageSize)) {
        UpdateSums = sums->sums;
        UpdateSumsLoaded = 1;
    }
    return 1;
}

const char* MethodName(EntryMethod method)
{
    switch (method) {
    case EntryMethodStored: return "stored";
    case EntryMethodBlock: return "block";
    case EntryMethodLzma: return "LZMA";
    case EntryMethodDelta: return "delta";
    default: return "unknown";
    }
}

// The entry into a new file at `output`, as the job stages it; its workspace size in `*workspaceSize`.
int StageEntry(const ArchiveEntry* entry, uint64_t offset, const std::string& old, const std::string& output,
               size_t* workspaceSize)
{
    const unsigned char* stored = ArchiveImage + offset;
    if (!StagedEntryWorkspace(entry, stored, workspaceSize)) {
        printf("the entry's workspace cannot be sized: damage\n");
        return 0;
    }
    DeleteFileA(output.c_str());
    HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("cannot create %s (error %lu)\n", output.c_str(), GetLastError());
        return 0;
    }
    unsigned char* workspace = (unsigned char*)GlobalAlloc(GMEM_FIXED, *workspaceSize ? *workspaceSize : 1);
    uint32_t sum = 0;
    EntryFileOutput piece = {file, 0, &sum};
    EntryStreamResult result = EntryStreamDamaged;
    int changed = 0;
    if (workspace)
        result = EntryMethodOf(entry) == EntryMethodDelta
                     ? StreamDeltaOverTarget(entry, stored, old.c_str(), workspace, *workspaceSize, WriteStagedPiece,
                                             &piece, &changed)
                     : StreamEntry(entry, stored, workspace, *workspaceSize, WriteStagedPiece, &piece);
    if (workspace)
        GlobalFree(workspace);
    CloseHandle(file);
    if (result != EntryStreamDone || piece.failed) {
        printf("staging ended with result %d%s\n", (int)result, piece.failed ? " (a write failed)" : "");
        return 0;
    }
    if (!EntryIntact(UpdateArchive, entry, sum)) {
        printf("the staged file's sum is not the payload's\n");
        return 0;
    }
    return 1;
}

int Run(const Options& options)
{
    LoadedArchive loaded, sums;
    if (!LoadPayload(options.updater, &loaded, &sums))
        return 1;
    const ArchiveEntry* entry;
    uint64_t offset;
    if (!FindArchiveEntry(UpdateArchive, options.name.c_str(), &entry, &offset) ||
        !CheckEntryData(entry, offset, ArchiveImageSize)) {
        printf("no entry %s in the payload\n", options.name.c_str());
        return 1;
    }
    int delta = EntryMethodOf(entry) == EntryMethodDelta;
    if (delta && options.old.empty()) {
        printf("%s is a delta: name its old file\n", options.name.c_str());
        return 1;
    }
    DeltaBase base;
    memset(&base, 0, sizeof base);
    if (delta && !ReadDeltaBase(entry, ArchiveImage + offset, &base)) {
        printf("the delta's header is damaged\n");
        return 1;
    }
    printf("%s: %s entry, %u stored bytes -> %u bytes", options.name.c_str(), MethodName(EntryMethodOf(entry)),
           entry->storedSize, entry->unpackedSize);
    if (delta)
        printf(" (body %s, %u bytes decoded; old file %u bytes)", MethodName(base.bodyMethod), base.bodySize,
               base.oldSize);
    printf("; payload sums %s\n", UpdateSumsLoaded ? "checked" : "absent");
    UseJobSink(&QuietSink);
    LeaveMarker(options, "loaded");

    double bestStage = 1e30, bestCheck = 1e30;
    size_t workspaceSize = 0;
    for (int round = 0; round < options.rounds; ++round) {
        const ArchiveEntry* use = entry;
        uint64_t useOffset = offset;
        double check = 0;
        if (delta) {
            auto t = std::chrono::steady_clock::now();
            if (!ChooseDeltaSource(entry, offset, options.old.c_str(), options.name.c_str(), &use, &useOffset) ||
                use != entry) {
                printf("the old file is not the delta's base\n");
                return 1;
            }
            check = Seconds(t);
            bestCheck = check < bestCheck ? check : bestCheck;
        }
        auto t = std::chrono::steady_clock::now();
        if (!StageEntry(use, useOffset, options.old, options.output, &workspaceSize))
            return 1;
        double staged = Seconds(t);
        bestStage = staged < bestStage ? staged : bestStage;
        if (delta)
            printf("  round %d: base check %.2f s, staged %.2f s\n", round + 1, check, staged);
        else
            printf("  round %d: staged %.2f s\n", round + 1, staged);
    }
    double mb = entry->unpackedSize / 1e6;
    printf("best of %d: staged in %.2f s (%.0f MB/s of output), workspace %zu bytes", options.rounds, bestStage,
           mb / bestStage, workspaceSize);
    if (delta)
        printf("; base check %.2f s (%.0f MB/s of old file)", bestCheck, base.oldSize / 1e6 / bestCheck);
    printf("\n");
    // For the script: seconds staging, seconds checking the base (0 for a whole entry), workspace bytes.
    printf("figures: %.3f %.3f %zu\n", bestStage, delta ? bestCheck : 0.0, workspaceSize);
    LeaveMarker(options, "done");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        printf("usage: win32_delta_apply_bench UPDATER NAME OUTPUT [OLD] [--rounds N] [--markers DIR]\n");
        return 2;
    }
    return Run(options);
}
