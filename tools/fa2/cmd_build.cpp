// fa2 build: a folder with UPDATE.INI becomes a ready updater executable.
#include "cmd_build.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "archive/archive_format.h"
#include "archive/payload_sums.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "build_report.h"
#include "byte_sink.h"
#include "commands.h"
#include "file_io.h"
#include "pe_resources.h"
#include "source_folder.h"
#include "stop_cleanup.h"
#include "update_ini_check.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char BuildUsage[] =
    "usage: fa2 build SOURCE_DIR -o OUT.exe [--stub UPDATE.exe] [--fast|--best|--store] [--scramble]\n"
    "                 [--codec fa2|lzma] [--from OLD_DIR]... [--fallback-whole]\n"
    "Checks SOURCE_DIR/UPDATE.INI against the folder, packs UPDATE.INI and every file it names (found anywhere\n"
    "below SOURCE_DIR, by its bare file name), and writes OUT.exe: a copy of the updater with the archive as its\n"
    "resource UPDATE/102 and the archive's checksums as UPDATE/103.\n"
    "  -o, --output FILE  the updater to write (its folder must exist, outside SOURCE_DIR)\n"
    "  --stub FILE        the updater executable to copy (default: UPDATE.exe beside fa2)\n"
    "  --fast, --best     quicker or smaller compression than the default\n"
    "  --store            compress nothing\n"
    "  --scramble         scramble the entries the updater extracts (agreement texts stay plain)\n"
    "  --jobs N           LZMA: files compressed at once, 1 or 2 (default 2; the same updater either way;\n"
    "                     a delta is made on its own, with no other file compressed beside it)\n"
    "  --from OLD_DIR     a previous release as installed (up to 8 times): an item whose file is at its\n"
    "                     path there is carried as a delta against it, one per distinct old file (kept only\n"
    "                     where smaller than the whole file), and the updater refuses an installation whose\n"
    "                     file is none of them. The delta encoder needs about 105 MiB whatever the files'\n"
    "                     sizes, and reads each old and new file twice or more\n"
    "  --fallback-whole   with --from: the whole file rides along after its deltas, for installations\n"
    "                     whose old file differs (the update is then larger than without --from)\n"
    "File times come from the files, or all from SOURCE_DATE_EPOCH when it is set.\n"
    "Exit codes: 0 built, 1 failed, 2 wrong usage, 3 the folder or UPDATE.INI has problems.\n";

const size_t LeftOutShown = 8;  // names in the one line about files no item names

// The temporary files' places among those a stop removes.
enum { ArchiveSlot, ImageSlot, ScratchSlot, AsideSlot, DeltaBodySlot, DeltaStoredSlot };

// One build: what each step leaves for the next. The temporary files are removed on every way out.
struct BuildRun {
    const BuildOptions* options;
    FILE* out;
    BuildReport report;
    BuildProgress progress;
    std::chrono::steady_clock::time_point started;
    std::string archivePath, imagePath, scratchPath;  // temporary files beside the output
    std::string deltaBodyPath, deltaStoredPath;       // with --from: a delta's commands, then compressed
    FILE* archiveFile;
    FILE* imageFile;
    FILE* scratchFile;  // one entry's compressed bytes before they are known to be worth keeping
    std::string asidePath;
    FILE* asideFile;    // the same for the entry compressed beside it (LZMA with two jobs)
    std::atomic<size_t> asideProgress[2];
    FILE* deltaBodyFile;
    FILE* deltaStoredFile;
    SourceFolder folder;
    std::vector<const SourceFile*> packed;  // UPDATE.INI first, then entry-name order
    std::vector<std::string> oldPaths;      // per record: the old file of a delta entry, else ""
    std::vector<unsigned char> stub;
    ArchiveWriter writer;
    std::vector<unsigned char> sums;
    PeWriteResult image;
    double packSeconds;

    BuildRun()
        : archiveFile(nullptr), imageFile(nullptr), scratchFile(nullptr), asideFile(nullptr), deltaBodyFile(nullptr),
          deltaStoredFile(nullptr), packSeconds(0)
    {
        asideProgress[0] = asideProgress[1] = 0;
    }
    BuildRun(const BuildRun&) = delete;
    BuildRun& operator=(const BuildRun&) = delete;
    ~BuildRun()
    {
        StopProgress(&progress, "");
        for (FILE* f : {archiveFile, imageFile, scratchFile, asideFile, deltaBodyFile, deltaStoredFile})
            if (f)
                fclose(f);
        for (const std::string* p :
             {&scratchPath, &asidePath, &deltaBodyPath, &deltaStoredPath, &archivePath, &imagePath})
            if (!p->empty())
                RemoveFileQuietly(*p);
        for (int slot : {ArchiveSlot, ImageSlot, ScratchSlot, AsideSlot, DeltaBodySlot, DeltaStoredSlot})
            KeepOnStop(slot);
    }
};

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int ProcessId()
{
#ifdef _WIN32
    return _getpid();
#else
    return (int)getpid();
#endif
}

// Paths compared as the platform compares them: letter case ignored on Windows.
std::string Comparable(const fs::path& path)
{
    std::string text = path.lexically_normal().u8string();
#ifdef _WIN32
    for (char& c : text)
        c = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : (c == '\\' ? '/' : c);
#endif
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

int IsInside(const fs::path& path, const fs::path& folder)
{
    std::string p = Comparable(path), f = Comparable(folder);
    return p.size() > f.size() && p.compare(0, f.size(), f) == 0 && (p[f.size()] == '/' || f.back() == '/');
}

// A temporary file of this build, which BuildRun removes (and a stop by a signal too); 0 after the error.
int CreateTemporary(BuildRun* run, const std::string& name, int slot, std::string* path, FILE** file)
{
    std::string error;
    InstallStopHandlers();
    RemoveOnStop(slot, name);
    *file = CreateNewFile(name, &error);
    if (!*file) {
        KeepOnStop(slot);
        ReportError(&run->report, "", error);
        return 0;
    }
    *path = name;
    return 1;
}

// LZMA packs about a megabyte a second on one core: two files are compressed at once, each into its own scratch
// file, and go into the archive in their order, so the archive is the same as from one job.
int CompressesAside(const BuildOptions& o) { return o.codec == CodecLzma && !o.store && o.jobs > 1; }

// The source must be a folder, the output's folder must exist and lie outside it, and the temporary files
// beside the output must be creatable: all before any work.
int CheckOutputPlace(BuildRun* run)
{
    const BuildOptions& o = *run->options;
    std::error_code code;
    fs::path source = fs::u8path(o.sourceDir), output = fs::u8path(o.output);
    if (!fs::is_directory(source, code)) {
        ReportError(&run->report, o.sourceDir, "not a folder");
        return BuildExitFailed;
    }
    fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    if (!fs::is_directory(folder, code)) {
        ReportError(&run->report, o.output, "its folder " + folder.u8string() + " does not exist; make it first");
        return BuildExitUsage;
    }
    if (fs::is_directory(output, code)) {
        ReportError(&run->report, o.output, "is a folder; give the updater's file name");
        return BuildExitUsage;
    }
    fs::path sourceFull = fs::weakly_canonical(fs::absolute(source, code), code);
    fs::path outputFull = fs::weakly_canonical(fs::absolute(output, code), code);
    if (IsInside(outputFull, sourceFull)) {
        ReportError(&run->report, o.output,
                    "lies inside the source folder " + o.sourceDir + ", which is what gets packed; write it elsewhere");
        return BuildExitUsage;
    }
    for (const std::string& fromDir : o.fromDirs)
        if (!fs::is_directory(fs::u8path(fromDir), code)) {
            ReportError(&run->report, fromDir, "not a folder (--from names a previous release's folder)");
            return BuildExitUsage;
        }
    std::string stem = o.output + ".fa2-" + std::to_string(ProcessId());
    if (!CreateTemporary(run, stem + "-archive.tmp", ArchiveSlot, &run->archivePath, &run->archiveFile) ||
        !CreateTemporary(run, stem + "-image.tmp", ImageSlot, &run->imagePath, &run->imageFile) ||
        !CreateTemporary(run, stem + "-entry.tmp", ScratchSlot, &run->scratchPath, &run->scratchFile) ||
        (CompressesAside(o) &&
         !CreateTemporary(run, stem + "-entry2.tmp", AsideSlot, &run->asidePath, &run->asideFile)))
        return BuildExitFailed;
    if (!o.fromDirs.empty() &&
        (!CreateTemporary(run, stem + "-delta.tmp", DeltaBodySlot, &run->deltaBodyPath, &run->deltaBodyFile) ||
         !CreateTemporary(run, stem + "-delta-packed.tmp", DeltaStoredSlot, &run->deltaStoredPath,
                          &run->deltaStoredFile)))
        return BuildExitFailed;
    return BuildExitOk;
}

int ReadFolder(BuildRun* run)
{
    std::string error;
    if (!ReadSourceFolder(run->options->sourceDir, &run->folder, &error)) {
        ReportError(&run->report, "", error);
        return BuildExitFailed;
    }
    return BuildExitOk;
}

// UPDATE.INI against the folder: every problem is an error, and nothing is written when there is one.
int CheckUpdateDescription(BuildRun* run)
{
    std::vector<SourceFile*> inis = SourceEntries(&run->folder, "UPDATE.INI");
    if (inis.empty()) {
        ReportError(&run->report, run->options->sourceDir, "no UPDATE.INI in the folder");
    } else if (inis.size() > 1) {
        ReportError(&run->report, inis[1]->shown,
                    "a second UPDATE.INI (the first is " + inis[0]->shown + "); the archive can hold only one");
    } else {
        std::vector<unsigned char> text;
        std::string error;
        if (!ReadWholeFile(inis[0]->path, &text, &error)) {
            ReportError(&run->report, "", error);
            return BuildExitFailed;
        }
        inis[0]->named = 1;
        CheckUpdateIni(std::string(text.begin(), text.end()), inis[0]->shown, &run->folder, &run->report);
    }
    if (run->report.errors) {
        fprintf(run->report.err, "fa2 build: %d error%s; nothing written\n", run->report.errors,
                run->report.errors == 1 ? "" : "s");
        return BuildExitInvalid;
    }
    return BuildExitOk;
}

// What gets packed: UPDATE.INI first, then the named files in entry-name order (the folder's order), so the
// same folder always gives the same archive. One line tells what is left out.
void ChoosePackedFiles(BuildRun* run)
{
    std::vector<std::string> leftOut;
    for (const SourceFile& f : run->folder.files) {
        if (!f.named)
            leftOut.push_back(f.nameProblem.empty() ? f.shown : f.shown + " (" + f.nameProblem + ")");
        else if (ArchiveNamesEqual(f.entry.c_str(), "UPDATE.INI"))
            run->packed.insert(run->packed.begin(), &f);
        else
            run->packed.push_back(&f);
    }
    for (const std::string& s : run->folder.skipped)
        leftOut.push_back(s);
    if (leftOut.empty())
        return;
    std::string names;
    for (size_t i = 0; i < leftOut.size() && i < LeftOutShown; ++i)
        names += (i ? ", " : "") + leftOut[i];
    if (leftOut.size() > LeftOutShown)
        names += ", and " + std::to_string(leftOut.size() - LeftOutShown) + " more";
    ReportNote(&run->report, "left out (UPDATE.INI names none of these): " + names);
}

// The stub before the packing: a wrong one should not cost a long compression.
int ReadStub(BuildRun* run)
{
    std::string error;
    if (!ReadWholeFile(run->options->stub, &run->stub, &error)) {
        ReportError(&run->report, "", error + " (give the updater executable with --stub)");
        return BuildExitFailed;
    }
    if (!LooksLikePeImage(run->stub.data(), run->stub.size())) {
        ReportError(&run->report, run->options->stub, "not a Windows executable");
        return BuildExitFailed;
    }
    return BuildExitOk;
}

void WriterProgress(void* context, size_t entriesDone, uint64_t bytesDone)
{
    ProgressDone((BuildProgress*)context, entriesDone, bytesDone);
}

void WriterCompressing(void* context, uint64_t bytesBefore)
{
    ProgressCompressing((BuildProgress*)context, bytesBefore);
}

void WriterStep(void* context, const char* step)
{
    ProgressStep((BuildProgress*)context, step);
}

// The file an UpdateFile item replaces, in a previous release's folder: the first of the entry's item paths
// that is a file there. "" when there is none; UPDATE.INI and the agreement texts, which the updater loads
// whole, never have one.
std::string OldFilePath(const std::string& fromDir, const SourceFile& file)
{
    if (file.plain)
        return "";
    for (const std::string& item : file.itemPaths) {
        std::string relative;
        if (!Cp932ToUtf8(item, &relative))
            continue;
        for (char& c : relative)
            c = c == '\\' ? '/' : c;
        std::error_code code;
        fs::path path = fs::u8path(fromDir) / fs::u8path(relative);
        if (fs::is_regular_file(path, code))
            return path.u8string();
    }
    return "";
}

// A write that failed for a reason of the system's (a full disk): the output is what could not be written. 0 when
// no write failed, and the caller reports its own reason.
int ReportWriteFailure(BuildRun* run)
{
    int reason = LastFileWriteError();
    if (!reason)
        return 0;
    ReportError(&run->report, run->options->output,
                std::string("cannot be written: ") + strerror(reason) + " (in the temporary files beside it)");
    return 1;
}

// The file in each old release that `file` replaces, where there is one.
std::vector<std::string> OldFilePaths(const std::vector<std::string>& fromDirs, const SourceFile& file)
{
    std::vector<std::string> paths;
    for (const std::string& fromDir : fromDirs) {
        std::string path = OldFilePath(fromDir, file);
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}

// One file as deltas against its old files, with no other file compressed beside it (it takes the writer's
// scratch file); the records it adds are noted for the read-back.
int PackDelta(BuildRun* run, const SourceFile* f, const std::vector<std::string>& oldPaths, std::string* error)
{
    const BuildOptions& o = *run->options;
    uint64_t time = o.fileTime;
    DeltaOutcome outcome = DeltaNotSmaller;
    std::vector<std::string> bases;
    if ((!o.fixedTime && !GetFileTimeValue(f->path, &time, error)) ||
        !AddArchiveDelta(&run->writer, f->entry, f->path, oldPaths, time, o.scramble && !f->plain, o.fallbackWhole,
                         &outcome, &bases, error))
        return 0;
    run->oldPaths.insert(run->oldPaths.end(), bases.begin(), bases.end());
    return 1;
}

// `oldFiles`: per packed file, the old files it is made deltas against (none: a whole entry).
int PackOneByOne(BuildRun* run, const std::vector<std::vector<std::string>>& oldFiles, std::string* error)
{
    const BuildOptions& o = *run->options;
    for (size_t i = 0; i < run->packed.size(); i++) {
        const SourceFile* f = run->packed[i];
        ProgressFile(&run->progress, f->shown);
        if (!oldFiles[i].empty()) {
            if (!PackDelta(run, f, oldFiles[i], error))
                return 0;
            continue;
        }
        uint64_t time = o.fileTime;
        if ((!o.fixedTime && !GetFileTimeValue(f->path, &time, error)) ||
            !AddArchiveFile(&run->writer, f->entry, f->path, time, o.store ? PackStore : PackCompressIfSmaller,
                            o.scramble && !f->plain, error))
            return 0;
        run->oldPaths.push_back("");
    }
    return 1;
}

// One file compressed on a thread of its own, into its own scratch file.
struct Aside {
    std::thread thread;
    PreparedFile prepared;
    std::string error;
    int ok;
};

void CompressAside(const WriterOptions* options, const SourceFile* file, FILE* scratch,
                   std::atomic<size_t>* progress, Aside* aside)
{
    EncodeProgressTarget = progress;
    aside->ok = PrepareArchiveFile(*options, file->path, PackCompressIfSmaller, scratch, 0, &aside->prepared,
                                   &aside->error);
}

// Files i and i + 1 are compressed at once (file j in scratch file j % 2); file i goes in as soon as it is ready
// and file i + 2 takes its place, so both cores stay busy while the entries go in in order. A delta is made
// alone: no file after it starts before it is in.
int PackSideBySide(BuildRun* run, const std::vector<std::vector<std::string>>& oldFiles, std::string* error)
{
    const BuildOptions& o = *run->options;
    WriterOptions options = run->writer.options;
    options.compressing = nullptr;  // the progress line reads the threads' own counters
    FILE* scratch[2] = {run->scratchFile, run->asideFile};
    Aside asides[2];
    size_t count = run->packed.size(), next = 0;
    auto startAhead = [&](size_t i) {
        for (; next < count && next < i + 2 && oldFiles[next].empty(); next++) {
            int k = (int)(next % 2);
            run->asideProgress[k] = 0;
            asides[k].thread = std::thread(CompressAside, &options, run->packed[next], scratch[k],
                                           &run->asideProgress[k], &asides[k]);
        }
    };
    run->progress.aside[0] = &run->asideProgress[0];
    run->progress.aside[1] = &run->asideProgress[1];
    int ok = 1;
    for (size_t i = 0; ok && i < count; i++) {
        startAhead(i);
        const SourceFile* f = run->packed[i];
        ProgressFile(&run->progress, f->shown);
        if (!oldFiles[i].empty()) {
            next = i + 1;  // nothing runs: the files before it are in, none after it has started
            ok = PackDelta(run, f, oldFiles[i], error);
            continue;
        }
        Aside& aside = asides[i % 2];
        aside.thread.join();
        run->asideProgress[i % 2] = 0;
        uint64_t time = o.fixedTime ? o.fileTime : aside.prepared.timeBefore;
        ok = aside.ok ? CommitArchiveFile(&run->writer, f->entry, aside.prepared, time, o.scramble && !f->plain, error)
                      : (*error = aside.error, 0);
        if (ok)
            run->oldPaths.push_back("");
    }
    for (Aside& aside : asides)
        if (aside.thread.joinable())
            aside.thread.join();
    run->progress.aside[0] = run->progress.aside[1] = nullptr;
    return ok;
}

// The archive, entry by entry, into its temporary file: one file's bytes in memory at a time.
int PackArchive(BuildRun* run)
{
    const BuildOptions& o = *run->options;
    uint64_t total = 0;
    for (const SourceFile* f : run->packed)
        total += f->size;
    ProgressPhase(&run->progress, "packing", run->packed.size(), total);
    auto start = std::chrono::steady_clock::now();
    WriterOptions writer;
    writer.table = o.store ? PackStore : PackCompressIfSmaller;
    writer.level = o.level;
    writer.codec = o.codec;
    writer.progress = WriterProgress;
    writer.compressing = WriterCompressing;
    writer.step = WriterStep;
    writer.progressContext = &run->progress;
    writer.scratch = run->scratchFile;
    writer.deltaBody = run->deltaBodyFile;
    writer.deltaStored = run->deltaStoredFile;
    std::string error;
    ClearFileWriteError();
    if (!StartArchive(&run->writer, FileSink(run->archiveFile), writer)) {
        if (!ReportWriteFailure(run))
            ReportError(&run->report, "", run->archivePath + ": write error");
        return BuildExitFailed;
    }
    std::vector<std::vector<std::string>> oldFiles;
    for (const SourceFile* f : run->packed)
        oldFiles.push_back(o.store ? std::vector<std::string>() : OldFilePaths(o.fromDirs, *f));
    int packed = CompressesAside(o) ? PackSideBySide(run, oldFiles, &error) : PackOneByOne(run, oldFiles, &error);
    if (!packed) {
        if (!ReportWriteFailure(run))
            ReportError(&run->report, "", error);
        return BuildExitFailed;
    }
    if (!FinishArchive(&run->writer, &error) || !FlushFile(run->archiveFile)) {
        if (!ReportWriteFailure(run))
            ReportError(&run->report, "", run->archivePath + ": " + (error.empty() ? "write error" : error));
        return BuildExitFailed;
    }
    run->packSeconds = SecondsSince(start);
    return BuildExitOk;
}

// The read-back's output: the bytes only move the progress line.
struct CheckedBytes {
    BuildProgress* progress;
    size_t entriesDone;
    uint64_t bytesDone;
};

int CountCheckedBytes(void* context, const unsigned char*, size_t count)
{
    CheckedBytes* checked = (CheckedBytes*)context;
    checked->bytesDone += count;
    ProgressDone(checked->progress, checked->entriesDone, checked->bytesDone);
    return 1;
}

// Reads the packed archive back as the updater will, an entry at a time, and holds each entry's bytes to the
// sum taken from its file: nothing is shipped that does not decode to what was packed.
int ReadBackArchive(BuildRun* run)
{
    LoadedArchive archive;
    std::string error;
    if (!OpenArchiveFile(run->archivePath, &archive, &error)) {
        ReportError(&run->report, "", "the packed archive does not open again: " + error);
        return BuildExitFailed;
    }
    if (ArchiveTableSum(LoadedTable(archive)) != run->writer.tableSum ||
        LoadedEntryCount(archive) != run->oldPaths.size()) {
        ReportError(&run->report, "", "the packed archive's table does not read back as written");
        return BuildExitFailed;
    }
    ProgressPhase(&run->progress, "checking", run->packed.size(), run->writer.inputBytes);
    CheckedBytes checked = {&run->progress, 0, 0};
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i) {
        std::string shown = EntryName(LoadedEntry(archive, i));
        ProgressFile(&run->progress, shown);
        checked.entriesDone = i;
        uint32_t sum;
        OldFileInput old;
        OldFileReader reader = OldFileReaderOf(&old);
        if (!run->oldPaths[i].empty() && !OpenOldFile(run->oldPaths[i], &old, &error)) {
            ReportError(&run->report, "", error);
            return BuildExitFailed;
        }
        if (!StreamLoadedEntry(archive, i, CountCheckedBytes, &checked, &sum, &error, &reader) ||
            sum != run->writer.sums[i]) {
            ReportError(&run->report, "", "entry " + shown + " does not read back as packed");
            return BuildExitFailed;
        }
        ProgressDone(&run->progress, i + 1, checked.bytesDone);
    }
    return BuildExitOk;
}

// The stub with the archive (copied from its temporary file) and its sums as resources, into the temporary
// executable.
int WriteUpdaterImage(BuildRun* run)
{
    uint32_t count = (uint32_t)run->writer.sums.size();
    run->sums.resize(PayloadSumsSize(count));
    WritePayloadSums(run->sums.data(), count, (uint32_t)run->writer.size, run->writer.tableSum,
                     run->writer.sums.data());
    PeResourceChange changes[2] = {
        {PayloadType, PayloadId, PayloadLanguage, nullptr, run->archiveFile, 0, run->writer.size},
        {PayloadType, PayloadSumsId, PayloadLanguage, run->sums.data(), nullptr, 0, run->sums.size()},
    };
    ProgressPhase(&run->progress, "writing", 1, run->writer.size);
    ProgressFile(&run->progress, run->options->output);
    std::string error;
    ClearFileWriteError();
    if (!WritePeResources(run->stub.data(), run->stub.size(), changes, 2, FileSink(run->imageFile), &run->image,
                          &error)) {
        if (!ReportWriteFailure(run))
            ReportError(&run->report, run->options->stub, error);
        return BuildExitFailed;
    }
    if (!FlushFile(run->imageFile) || ferror(run->imageFile)) {
        if (!ReportWriteFailure(run))
            ReportError(&run->report, "", run->imagePath + ": write error");
        return BuildExitFailed;
    }
    if (run->image.droppedSignature)
        ReportWarning(&run->report, run->options->stub,
                      "carried a signature, which could no longer match and was left out; sign the built updater");
    return BuildExitOk;
}

// 1 when `length` bytes of `a` at `atA` equal those of `b` at `atB`.
int SameBytes(FILE* a, uint64_t atA, FILE* b, uint64_t atB, uint64_t length)
{
    std::vector<unsigned char> x(1u << 20), y(1u << 20);
    for (uint64_t done = 0; done < length;) {
        size_t want = (size_t)std::min<uint64_t>(length - done, x.size());
        if (!SeekFile(a, atA + done) || fread(x.data(), 1, want, a) != want || !SeekFile(b, atB + done) ||
            fread(y.data(), 1, want, b) != want || memcmp(x.data(), y.data(), want) != 0)
            return 0;
        done += want;
    }
    return 1;
}

// The written executable, read as a loader would find its resources: the payload and the sums, byte for byte.
int CheckUpdaterImage(BuildRun* run)
{
    std::string error;
    uint64_t at = 0, length = 0, sumsAt = 0, sumsLength = 0;
    std::vector<unsigned char> sums(run->sums.size());
    if (!FindPeResourceInFile(run->imageFile, run->image.size, PayloadType, PayloadId, &at, &length, &error) ||
        length != run->writer.size || !SameBytes(run->imageFile, at, run->archiveFile, 0, length) ||
        !FindPeResourceInFile(run->imageFile, run->image.size, PayloadType, PayloadSumsId, &sumsAt, &sumsLength,
                              &error) ||
        sumsLength != sums.size() || !SeekFile(run->imageFile, sumsAt) ||
        fread(sums.data(), 1, sums.size(), run->imageFile) != sums.size() || sums != run->sums) {
        ReportError(&run->report, "", "the written executable does not carry the archive as its payload");
        return BuildExitFailed;
    }
    return BuildExitOk;
}

// The finished executable takes the output's place in one step; until then an old one stays as it was.
int PlaceOutput(BuildRun* run)
{
    int closed = fclose(run->imageFile) == 0;
    run->imageFile = nullptr;
    std::string error;
    if (!closed || !ReplaceFileWith(run->imagePath, run->options->output, &error)) {
        ReportError(&run->report, "", closed ? error : run->imagePath + ": write error");
        return BuildExitFailed;
    }
    run->imagePath.clear();
    KeepOnStop(ImageSlot);  // it is the output now
    return BuildExitOk;
}

void PrintSummary(BuildRun* run)
{
    const ArchiveWriter& w = run->writer;
    size_t entries = w.sums.size();
    double seconds = SecondsSince(run->started);
    StopProgress(&run->progress, "packed " + std::to_string(entries) + " entries, " +
                                     MegaBytes((double)w.inputBytes) + ", in " + std::to_string((int)(seconds + 0.5)) +
                                     " s");
    FILE* out = run->out;
    fprintf(out, "Built %s\n", run->options->output.c_str());
    fprintf(out, "  entries     %zu (%d compressed, %d deltas, %zu stored, %d scrambled)\n", entries,
            w.compressedEntries, w.deltaEntries, entries - (size_t)w.compressedEntries - (size_t)w.deltaEntries,
            w.scrambledEntries);
    fprintf(out, "  files       %llu bytes\n", (unsigned long long)w.inputBytes);
    fprintf(out, "  archive     %llu bytes (%.1f%% of the files; table %s; checksums %zu bytes)\n",
            (unsigned long long)w.size, w.inputBytes ? 100.0 * (double)w.size / (double)w.inputBytes : 100.0,
            w.tableCompressed ? "compressed" : "stored", run->sums.size());
    fprintf(out, "  executable  %llu bytes\n", (unsigned long long)run->image.size);
    fprintf(out, "  time        %.2f s (packing %.2f s, %s/s)\n", seconds, run->packSeconds,
            MegaBytes(run->packSeconds > 0 ? (double)w.inputBytes / run->packSeconds : 0).c_str());
    if (run->report.warnings)
        fprintf(out, "  warnings    %d (see above)\n", run->report.warnings);
}

void UsageError(const std::string& text) { CommandError("build", text); }

int IsTerminal(FILE* stream)
{
#ifdef _WIN32
    return _isatty(_fileno(stream));
#else
    return isatty(fileno(stream));
#endif
}

// UPDATE.exe beside the running fa2.
std::string DefaultStubPath()
{
    std::string self;
#ifdef _WIN32
    wchar_t wide[32768];
    DWORD length = GetModuleFileNameW(nullptr, wide, sizeof wide / sizeof wide[0]);
    if (length > 0 && length < sizeof wide / sizeof wide[0]) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, (int)length, nullptr, 0, nullptr, nullptr);
        self.assign(bytes > 0 ? bytes : 0, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide, (int)length, &self[0], bytes, nullptr, nullptr);
    }
#else
    std::error_code code;
    self = fs::read_symlink("/proc/self/exe", code).string();
#endif
    if (self.empty())
        return "UPDATE.exe";
    return (fs::u8path(self).parent_path() / "UPDATE.exe").u8string();
}

}  // namespace

int ParseSourceDateEpoch(const char* text, uint64_t* fileTime)
{
    if (!text || !*text || strlen(text) > 18)
        return 0;
    int64_t seconds = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        seconds = seconds * 10 + (*p - '0');
    }
    *fileTime = FileTimeFromUnix(seconds, 0);
    return 1;
}

int BuildUpdater(const BuildOptions& options, FILE* out, FILE* err)
{
    BuildRun run;
    run.options = &options;
    run.out = out;
    run.report = BuildReport{err, 0, 0};
    run.started = std::chrono::steady_clock::now();
    StartProgress(&run.progress, err, ProgressNone);
    int exit = CheckOutputPlace(&run);
    if (exit == BuildExitOk)
        exit = ReadFolder(&run);
    if (exit == BuildExitOk)
        exit = CheckUpdateDescription(&run);
    if (exit == BuildExitOk) {
        ChoosePackedFiles(&run);
        exit = ReadStub(&run);
    }
    if (exit != BuildExitOk)
        return exit;
    StartProgress(&run.progress, err, options.progress);
    int (*const steps[])(BuildRun*) = {PackArchive,        ReadBackArchive,  WriteUpdaterImage,
                                       CheckUpdaterImage,  PlaceOutput};
    for (auto step : steps) {
        exit = step(&run);
        if (exit != BuildExitOk)
            return exit;
    }
    PrintSummary(&run);
    return BuildExitOk;
}

int RunBuild(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(BuildUsage, stdout);
        fputs(CodecHelp(), stdout);
        return BuildExitOk;
    }
    BuildOptions options;
    options.level = EncodeDefault;
    options.codec = CodecBlock;
    options.store = 0;
    options.scramble = 0;
    options.fixedTime = 0;
    options.fileTime = 0;
    options.progress = IsTerminal(stderr) ? ProgressTerminal : ProgressLines;
    std::vector<std::string> operands;
    int fast = 0, best = 0, optionsDone = 0;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsDone = 1;
        } else if (arg == "-o" || arg == "--output" || arg == "--stub") {
            if (i + 1 >= args.size()) {
                UsageError(arg + " needs a file name");
                return BuildExitUsage;
            }
            (arg == "--stub" ? options.stub : options.output) = args[++i];
        } else if (arg.compare(0, 9, "--output=") == 0) {
            options.output = arg.substr(9);
        } else if (arg.compare(0, 7, "--stub=") == 0) {
            options.stub = arg.substr(7);
        } else if (arg == "--codec" || arg.compare(0, 8, "--codec=") == 0) {
            std::string error;
            if (arg == "--codec" && i + 1 >= args.size()) {
                UsageError("--codec needs a name");
                return BuildExitUsage;
            }
            if (!ParseCodecName(arg == "--codec" ? args[++i] : arg.substr(8), &options.codec, &error)) {
                UsageError(error);
                return BuildExitUsage;
            }
        } else if (arg == "--jobs" || arg.compare(0, 7, "--jobs=") == 0) {
            std::string value = arg == "--jobs" ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(7);
            if (value != "1" && value != "2") {
                UsageError("--jobs wants 1 or 2");
                return BuildExitUsage;
            }
            options.jobs = value[0] - '0';
        } else if (arg == "--from") {
            if (i + 1 >= args.size()) {
                UsageError("--from needs the previous release's folder");
                return BuildExitUsage;
            }
            if (options.fromDirs.size() == MostOldReleases) {
                UsageError("--from may be given at most " + std::to_string(MostOldReleases) + " times");
                return BuildExitUsage;
            }
            options.fromDirs.push_back(args[++i]);
        } else if (arg == "--fallback-whole") {
            options.fallbackWhole = 1;
        } else if (arg == "--store") {
            options.store = 1;
        } else if (arg == "--scramble") {
            options.scramble = 1;
        } else if (arg == "--fast") {
            fast = 1;
        } else if (arg == "--best") {
            best = 1;
        } else {
            UsageError("unknown option " + arg);
            return BuildExitUsage;
        }
    }
    if (operands.size() != 1 || options.output.empty()) {
        fputs(BuildUsage, stderr);
        return BuildExitUsage;
    }
    if (fast + best + options.store > 1) {
        UsageError("--store, --fast and --best exclude each other");
        return BuildExitUsage;
    }
    if (options.fallbackWhole && options.fromDirs.empty()) {
        UsageError("--fallback-whole goes with --from");
        return BuildExitUsage;
    }
    options.level = fast ? EncodeFast : best ? EncodeBest : EncodeDefault;
    options.sourceDir = operands[0];
    if (options.stub.empty())
        options.stub = DefaultStubPath();
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch && *epoch) {
        if (!ParseSourceDateEpoch(epoch, &options.fileTime)) {
            UsageError(std::string("SOURCE_DATE_EPOCH \"") + epoch + "\" is not a number of seconds");
            return BuildExitUsage;
        }
        options.fixedTime = 1;
    }
    return BuildUpdater(options, stdout, stderr);
}
