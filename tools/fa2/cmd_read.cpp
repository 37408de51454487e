// fa2 list, extract, verify and decode-block: reading archives and blocks.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "archive/block_decoder.h"
#include "archive_reader.h"
#include "commands.h"
#include "file_io.h"
#include "source_folder.h"
#include "stop_cleanup.h"

static const char ListUsage[] =
    "usage: fa2 list ARCHIVE\n"
    "Prints one line per entry: unpacked size, stored size, marks (method: - stored, c block method,\n"
    "l LZMA, d delta; then s: scrambled), file time (UTC) and name. A delta entry's line goes on with the old\n"
    "file's size it applies to, the new file's size, its body's method, the start of the old file's SHA-256,\n"
    "and whether the whole file follows. A file built against several old releases has one delta line per\n"
    "distinct old file.\n";
static const char ExtractUsage[] =
    "usage: fa2 extract ARCHIVE DIR [NAME...] [--from OLD_DIR]...\n"
    "Writes every entry, or the named ones, into DIR (created when missing) with their file times.\n"
    "Names are looked up as the updater looks them up: letter case ignored, first match wins.\n"
    "A delta entry is rebuilt from its old file: the file of its name below an OLD_DIR whose size and SHA-256\n"
    "are those of one of the file's deltas. Without such a file it is refused, or its whole entry is written\n"
    "when it carries one.\n";
static const char VerifyUsage[] =
    "usage: fa2 verify ARCHIVE [--from OLD_DIR]...\n"
    "Decodes the table and every entry, reports each damaged one. An updater built by fa2 build carries\n"
    "checksums of its table and entries, which are compared too. A delta entry is rebuilt from its old file below\n"
    "an OLD_DIR and held to its checksum; without it (no --from, or another old release's delta of a file that\n"
    "has one below an OLD_DIR) its header and commands are checked (every copy inside the old file's size,\n"
    "exactly the entry's size made) but not its bytes. Exit status: 0 every entry decodes and matches its\n"
    "checksum, 1 an entry or the table is damaged or no old file of a delta's is below any OLD_DIR, 3 every\n"
    "entry decodes but not all could be held to checksums (a bare archive, checksums of a later format, or delta\n"
    "entries checked without their old files): a changed byte may have gone unseen.\n";
static const char DecodeBlockUsage[] =
    "usage: fa2 decode-block --size N IN OUT\n"
    "Decodes the raw compressed block in IN, which must decode to exactly N bytes, into OUT.\n";

// Splits options from operands; `--` ends the options. 0 after reporting an unknown option. `froms`, when given,
// takes the values of --from.
static int SplitArgs(const char* command, const std::vector<std::string>& args, std::vector<std::string>* operands,
                     std::vector<std::string>* froms = nullptr)
{
    int optionsDone = 0;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (!optionsDone && arg == "--") {
            optionsDone = 1;
        } else if (!optionsDone && froms && arg == "--from") {
            if (i + 1 >= args.size()) {
                CommandError(command, "--from needs a previous release's folder");
                return 0;
            }
            froms->push_back(args[++i]);
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            CommandError(command, "unknown option " + arg);
            return 0;
        } else {
            operands->push_back(arg);
        }
    }
    return 1;
}

static int OpenInput(const char* command, const std::string& path, LoadedArchive* archive)
{
    std::string error;
    if (!OpenArchiveFile(path, archive, &error)) {
        CommandError(command, error);
        return 0;
    }
    return 1;
}

// The method column: - stored, c the block method, l LZMA, ? both bits (damaged).
static char MethodMark(const ArchiveEntry* entry)
{
    switch (EntryMethodOf(entry)) {
    case EntryMethodStored: return '-';
    case EntryMethodBlock: return 'c';
    case EntryMethodLzma: return 'l';
    case EntryMethodDelta: return 'd';
    default: return '?';
    }
}

static const char* MethodName(EntryMethod method)
{
    return method == EntryMethodLzma ? "LZMA" : method == EntryMethodBlock ? "block" : "stored";
}

// What a delta entry's line adds: the sizes it goes between, its body's method, its base, the whole entry after
// it.
static std::string DeltaDescription(const LoadedArchive& archive, uint32_t index)
{
    DeltaBase base;
    if (!LoadedDeltaBase(archive, index, &base))
        return "  [delta: damaged header]";
    static const char digits[] = "0123456789abcdef";
    std::string sha;
    for (int i = 0; i < 8; i++) {
        sha += digits[base.oldSha256[i] >> 4];
        sha += digits[base.oldSha256[i] & 15];
    }
    return "  [delta: old " + std::to_string(base.oldSize) + " -> new " +
           std::to_string(LoadedEntry(archive, index)->unpackedSize) + " bytes, body " + MethodName(base.bodyMethod) +
           ", old SHA-256 " + sha + "..." + (base.hasWhole ? ", whole file follows]" : "]");
}

// The old releases' folders for --from: their files by entry name, as fa2 build finds an update's files.
struct OldRelease {
    int given = 0;
    std::vector<SourceFolder> folders;
};

static int ReadOldRelease(const char* command, const std::vector<std::string>& dirs, OldRelease* old)
{
    old->folders.resize(dirs.size());
    for (size_t i = 0; i < dirs.size(); i++) {
        std::string error;
        if (!ReadSourceFolder(dirs[i], &old->folders[i], &error)) {
            CommandError(command, error);
            return 0;
        }
    }
    old->given = !dirs.empty();
    return 1;
}

// The file below the old releases that delta entry `index` was built from: of the files with its entry name, the
// one whose size and SHA-256 match. "" with the reason in `problem` when none does.
static std::string FindOldFile(OldRelease* old, const LoadedArchive& archive, uint32_t index, std::string* problem)
{
    std::string name = EntryName(LoadedEntry(archive, index));
    std::vector<SourceFile*> candidates;
    for (SourceFolder& folder : old->folders) {
        std::vector<SourceFile*> more = SourceEntries(&folder, name);
        candidates.insert(candidates.end(), more.begin(), more.end());
    }
    std::string shown = Cp932ForDisplay(name.data(), name.size());
    if (candidates.empty()) {
        *problem = "no file named " + shown + " in the old release's folder";
        return "";
    }
    for (const SourceFile* f : candidates) {
        *problem = CheckOldFile(archive, index, f->path);
        if (problem->empty())
            return f->path;
    }
    *problem += "; this update is for the version of " + shown + " it was built from";
    return "";
}

// The deltas of entry `index`'s file: the run of them that the first record of its name begins (none when
// that record is no delta).
static void FileDeltas(const LoadedArchive& archive, uint32_t index, uint32_t* first, uint32_t* count)
{
    const ArchiveTable* table = LoadedTable(archive);
    const ArchiveEntry* entry;
    uint64_t offset;
    std::string name = EntryName(LoadedEntry(archive, index));
    *first = index;
    if (FindArchiveEntry(table, name.c_str(), &entry, &offset))
        *first = (uint32_t)(entry - ArchiveTableEntries(table));
    *count = DeltaRunLength(table, LoadedEntry(archive, *first));
}

// Of entry `index`'s file's deltas, the first whose old file is below the old releases; else 0 with the reason
// (the first delta's) in `problem`.
static int FindAnyOldFile(OldRelease* old, const LoadedArchive& archive, uint32_t index, uint32_t* delta,
                          std::string* path, std::string* problem)
{
    uint32_t first, count;
    FileDeltas(archive, index, &first, &count);
    std::string firstProblem;
    for (uint32_t i = first; i < first + count; i++) {
        *path = FindOldFile(old, archive, i, problem);
        if (i == first)
            firstProblem = *problem;
        if (!path->empty()) {
            *delta = i;
            return 1;
        }
    }
    *problem = firstProblem;
    return 0;
}

int RunList(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(ListUsage, stdout);
        return 0;
    }
    std::vector<std::string> operands;
    if (!SplitArgs("list", args, &operands))
        return 2;
    if (operands.size() != 1) {
        fputs(ListUsage, stderr);
        return 2;
    }
    LoadedArchive archive;
    if (!OpenInput("list", operands[0], &archive))
        return 1;
    for (uint32_t i = 0; i < LoadedEntryCount(archive); i++) {
        const ArchiveEntry* entry = LoadedEntry(archive, i);
        std::string name = EntryName(entry);
        std::string delta = EntryMethodOf(entry) == EntryMethodDelta ? DeltaDescription(archive, i) : "";
        printf("%12" PRIu32 " %12" PRIu32 " %c%c %s %s%s\n", entry->unpackedSize, entry->storedSize,
               MethodMark(entry), EntryNeedsCopy(entry) ? 's' : '-',
               FormatFileTimeIso(FileTimeValue(entry->fileTime)).c_str(),
               Cp932ForDisplay(name.data(), name.size()).c_str(), delta.c_str());
    }
    return 0;
}

// CON, NUL, AUX, PRN, COM1-9 and LPT1-9, in any letter case and with any extension: Windows opens the device.
static int IsReservedDeviceName(const std::string& name)
{
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = (char)toupper((unsigned char)c);
    if (base == "CON" || base == "NUL" || base == "AUX" || base == "PRN")
        return 1;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

// A name that is safe as one file name inside the target folder, in UTF-8; 0 with the reason otherwise.
static int SafeFileName(const std::string& cp932, std::string* utf8, std::string* reason)
{
    if (!Cp932ToUtf8(cp932, utf8)) {
        *reason = "the name is not valid cp932";
        return 0;
    }
    if (utf8->empty() || *utf8 == "." || *utf8 == ".." ||
        utf8->find_first_of(std::string("/\\:\0", 4)) != std::string::npos) {
        *reason = "the name is not a plain file name";
        return 0;
    }
    for (unsigned char c : *utf8) {
        if (c < 0x20) {
            *reason = "the name holds a control character";
            return 0;
        }
    }
    if (IsReservedDeviceName(*utf8)) {
        *reason = "the name is a Windows device (CON, NUL, AUX, PRN, COM1-9, LPT1-9)";
        return 0;
    }
    if (utf8->back() == '.' || utf8->back() == ' ') {
        *reason = "the name ends in a dot or a blank, which Windows drops";
        return 0;
    }
    return 1;
}

// Why the entries cannot be held to checksums; null when they can.
static const char* UncheckedReason(const LoadedArchive& archive)
{
    if (archive.hasSums && archive.sumsState == PayloadSumsRead)
        return nullptr;
    return archive.hasSums ? "its checksums are of a later format and were not checked"
                           : "it carries no checksums (resource UPDATE/103)";
}

static int WriteToFile(void* context, const unsigned char* bytes, size_t count)
{
    return fwrite(bytes, 1, count, (FILE*)context) == count;
}

// Which entry gives the file of entry `index`, and the old file a delta reads: the delta with its old file, its
// whole entry when the old file is not there, or a refusal (0 after its message).
static int ChooseSource(OldRelease* old, const LoadedArchive& archive, uint32_t index, uint32_t* source,
                        OldFileInput* oldFile)
{
    *source = index;
    const ArchiveEntry* entry = LoadedEntry(archive, index);
    if (EntryMethodOf(entry) != EntryMethodDelta)
        return 1;
    std::string name = EntryName(entry), problem = "it is a delta: give the previous release with --from";
    std::string shown = Cp932ForDisplay(name.data(), name.size()), path;
    if (old->given && FindAnyOldFile(old, archive, index, source, &path, &problem))
        return OpenOldFile(path, oldFile, &problem) ? 1 : (CommandError("extract", problem), 0);
    const ArchiveTable* table = LoadedTable(archive);
    const ArchiveEntry* whole;
    uint64_t offset;
    if (FindWholeFallback(table, entry, &whole, &offset)) {
        *source = (uint32_t)(whole - ArchiveTableEntries(table));
        return 1;
    }
    CommandError("extract", shown + ": not extracted: " + problem);
    return 0;
}

// File names as the target folder tells them apart: ASCII letter case folds, as on Windows.
static std::string FoldedName(const std::string& utf8)
{
    std::string folded = utf8;
    for (char& c : folded)
        c = (char)tolower((unsigned char)c);
    return folded;
}

// One extract run: the folder, the file names its entries take, and the names already written (with the entry
// that wrote each) so that no entry ever lands on another's file.
struct ExtractRun {
    const LoadedArchive* archive;
    std::string dir;
    OldRelease* old;                           // where delta entries find their old files
    std::set<std::string> entryNames;          // folded; no scratch file takes one of these
    std::map<std::string, uint32_t> written;  // folded file name -> the entry written there
};

static void StartExtractRun(const LoadedArchive& archive, const std::string& dir, OldRelease* old, ExtractRun* run)
{
    run->archive = &archive;
    run->dir = dir;
    run->old = old;
    for (uint32_t i = 0; i < LoadedEntryCount(archive); i++) {
        std::string utf8;
        if (Cp932ToUtf8(EntryName(LoadedEntry(archive, i)), &utf8))
            run->entryNames.insert(FoldedName(utf8));
    }
}

// A new scratch file in the folder under a name no entry has and nothing there has yet: neither an entry nor a
// file already in the folder is ever overwritten or removed for it.
static FILE* CreateScratch(const ExtractRun& run, std::string* path, std::string* error)
{
    for (int n = 0; n < 1000; n++) {
        std::string name = ".fa2-extract-" + std::to_string(n) + ".tmp";
        if (run.entryNames.count(FoldedName(name)))
            continue;
        *path = JoinPath(run.dir, name);
        InstallStopHandlers();
        RemoveOnStop(0, *path);
        FILE* file = CreateNewFile(*path, error);
        if (file)
            return file;
        KeepOnStop(0);  // someone else's file
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

static int ExtractOne(ExtractRun* run, uint32_t index)
{
    const LoadedArchive& archive = *run->archive;
    const ArchiveEntry* entry = LoadedEntry(archive, index);
    std::string name = EntryName(entry);
    std::string shown = Cp932ForDisplay(name.data(), name.size());
    std::string fileName, error;
    if (!SafeFileName(name, &fileName, &error)) {
        CommandError("extract", shown + ": not extracted: " + error);
        return 0;
    }
    auto earlier = run->written.find(FoldedName(fileName));
    if (earlier != run->written.end()) {
        if (earlier->second == index)
            return 1;  // named twice on the command line: written once
        std::string other = EntryName(LoadedEntry(archive, earlier->second));
        CommandError("extract", shown + ": not extracted: the entry " + Cp932ForDisplay(other.data(), other.size()) +
                                    " was written under the same file name, " + fileName);
        return 0;
    }
    // The entry goes to a new file beside its place, which takes the place once it is whole and sound: a damaged
    // entry never costs a file already there, and a link planted under the name is refused, never followed.
    std::string path = JoinPath(run->dir, fileName);
    if (!IsRegularFileOrAbsent(path, &error)) {
        CommandError("extract", shown + ": not extracted: " + error);
        return 0;
    }
    uint32_t source;
    OldFileInput oldFile;
    if (!ChooseSource(run->old, archive, index, &source, &oldFile))
        return 0;
    OldFileReader reader = OldFileReaderOf(&oldFile);
    std::string temporary;
    FILE* file = CreateScratch(*run, &temporary, &error);
    if (!file) {
        CommandError("extract", shown + ": not extracted: " + error);
        return 0;
    }
    uint32_t sum;
    int streamed = StreamLoadedEntry(archive, source, WriteToFile, file, &sum, &error, &reader);
    int closed = fclose(file) == 0;
    if (streamed && closed && archive.hasSums && archive.sumsState == PayloadSumsRead &&
        sum != PayloadEntrySum(&archive.sums, source)) {
        streamed = 0;
        error = "its bytes do not match the checksum";
    }
    if (!streamed || !closed || !SetFileTimeValue(temporary, FileTimeValue(entry->fileTime), &error) ||
        !ReplaceFileWith(temporary, path, &error)) {
        CommandError("extract", shown + (!streamed && !error.empty() ? ": damaged entry: " + error
                                                                     : ": " + (error.empty() ? "write error" : error)));
        RemoveFileQuietly(temporary);
        KeepOnStop(0);
        return 0;
    }
    KeepOnStop(0);
    run->written[FoldedName(fileName)] = index;
    return 1;
}

int RunExtract(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(ExtractUsage, stdout);
        return 0;
    }
    std::vector<std::string> operands, from;
    if (!SplitArgs("extract", args, &operands, &from))
        return 2;
    if (operands.size() < 2) {
        fputs(ExtractUsage, stderr);
        return 2;
    }
    LoadedArchive archive;
    OldRelease old;
    if (!OpenInput("extract", operands[0], &archive) || !ReadOldRelease("extract", from, &old))
        return 1;
    std::string sumsProblem = CheckTableSums(archive);
    if (!sumsProblem.empty()) {
        CommandError("extract", operands[0] + ": damaged: " + sumsProblem);
        return 1;
    }
    if (const char* reason = UncheckedReason(archive))
        CommandError("extract", operands[0] + ": warning: " + reason + "; the files are written unchecked");
    const std::string& dir = operands[1];
    std::string error;
    if (!MakeFolders(dir, &error)) {
        CommandError("extract", error);
        return 1;
    }
    int status = 0;
    const ArchiveTable* table = LoadedTable(archive);
    ExtractRun run;
    StartExtractRun(archive, dir, &old, &run);
    if (operands.size() == 2) {
        for (uint32_t i = 0; i < LoadedEntryCount(archive); i++) {
            // An entry whose name an earlier one already answers is never reached by a lookup.
            const ArchiveEntry* first;
            uint64_t offset;
            std::string name = EntryName(LoadedEntry(archive, i));
            if (FindArchiveEntry(table, name.c_str(), &first, &offset) && first != LoadedEntry(archive, i)) {
                // The file's other deltas and its whole entry are the first record's to choose from.
                if ((size_t)(LoadedEntry(archive, i) - first) > (size_t)DeltaRunLength(table, first))
                    CommandError("extract", Cp932ForDisplay(name.data(), name.size()) +
                                                ": skipped: an earlier entry has the same name");
                continue;
            }
            if (!ExtractOne(&run, i))
                status = 1;
        }
        return status;
    }
    for (size_t k = 2; k < operands.size(); k++) {
        std::string wanted;
        if (!Utf8ToCp932(operands[k], &wanted)) {
            CommandError("extract", operands[k] + ": the name has no cp932 form");
            status = 1;
            continue;
        }
        const ArchiveEntry* entry;
        uint64_t offset;
        if (!FindArchiveEntry(table, wanted.c_str(), &entry, &offset)) {
            CommandError("extract", operands[k] + ": no such entry");
            status = 1;
            continue;
        }
        if (!ExtractOne(&run, (uint32_t)(entry - ArchiveTableEntries(table))))
            status = 1;
    }
    return status;
}

static int DiscardBytes(void*, const unsigned char*, size_t) { return 1; }

// verify's status when every entry decodes but not every one could be held to its checksum.
const int VerifyUnchecked = 3;

int RunVerify(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(VerifyUsage, stdout);
        return 0;
    }
    std::vector<std::string> operands, from;
    if (!SplitArgs("verify", args, &operands, &from))
        return 2;
    if (operands.size() != 1) {
        fputs(VerifyUsage, stderr);
        return 2;
    }
    LoadedArchive archive;
    OldRelease old;
    if (!OpenInput("verify", operands[0], &archive) || !ReadOldRelease("verify", from, &old))
        return 1;
    std::string sumsProblem = CheckTableSums(archive);
    if (!sumsProblem.empty()) {
        printf("damaged: %s\n", sumsProblem.c_str());
        return 1;
    }
    int checked = archive.hasSums && archive.sumsState == PayloadSumsRead;
    uint32_t count = LoadedEntryCount(archive), damaged = 0, commandsOnly = 0, withoutOld = 0;
    for (uint32_t i = 0; i < count; i++) {
        std::string error;
        uint32_t sum;
        // A delta without its old file: its commands run over zeros, which checks them but not the bytes. So is
        // another old release's delta of a file that has its old file here.
        OldFileInput oldFile;
        int isDelta = EntryMethodOf(LoadedEntry(archive, i)) == EntryMethodDelta;
        int noOldGiven = isDelta && !old.given;
        std::string path = isDelta && old.given ? FindOldFile(&old, archive, i, &error) : "";
        uint32_t other;
        std::string otherPath, otherProblem;
        if (isDelta && old.given && path.empty() && FindAnyOldFile(&old, archive, i, &other, &otherPath, &otherProblem))
            noOldGiven = 1;
        if (!noOldGiven && isDelta) {
            if (path.empty() || !OpenOldFile(path, &oldFile, &error)) {
                std::string name = EntryName(LoadedEntry(archive, i));
                printf("old file: %s: %s\n", Cp932ForDisplay(name.data(), name.size()).c_str(), error.c_str());
                withoutOld++;
                continue;
            }
        }
        commandsOnly += noOldGiven;
        OldFileReader reader = OldFileReaderOf(&oldFile);
        int decoded = StreamLoadedEntry(archive, i, DiscardBytes, nullptr, &sum, &error, &reader);
        if (decoded && checked && !noOldGiven && sum != PayloadEntrySum(&archive.sums, i)) {
            decoded = 0;
            error = "its bytes do not match the checksum";
        }
        if (!decoded) {
            std::string name = EntryName(LoadedEntry(archive, i));
            printf("damaged: %s: %s\n", Cp932ForDisplay(name.data(), name.size()).c_str(), error.c_str());
            damaged++;
        }
    }
    if (damaged)
        printf("%" PRIu32 " of %" PRIu32 " entries damaged\n", damaged, count);
    if (withoutOld)
        printf("%" PRIu32 " delta entries without their old file below the --from folder\n", withoutOld);
    if (damaged || withoutOld)
        return 1;
    if (commandsOnly)
        printf("%" PRIu32 " delta entries checked without their old files (give --from to check their bytes)\n",
               commandsOnly);
    if (!checked) {
        printf("%" PRIu32 " entries decode, but %s: a changed byte may have gone unseen\n", count,
               UncheckedReason(archive));
        return VerifyUnchecked;
    }
    if (commandsOnly) {
        printf("%" PRIu32 " entries decode, %" PRIu32 " held to their checksums: a changed byte in a delta may have "
               "gone unseen\n",
               count, count - commandsOnly);
        return VerifyUnchecked;
    }
    printf("%" PRIu32 " entries intact (checksums match)\n", count);
    return 0;
}

// A decimal count of at most 32 bits, digits only.
static int ParseSize(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 10)
        return 0;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        result = result * 10 + (uint64_t)(c - '0');
    }
    if (result > 0xFFFFFFFFu)
        return 0;
    *value = (uint32_t)result;
    return 1;
}

int RunDecodeBlock(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(DecodeBlockUsage, stdout);
        return 0;
    }
    std::vector<std::string> operands;
    std::string sizeText;
    int haveSize = 0, optionsDone = 0;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (!optionsDone && arg == "--") {
            optionsDone = 1;
        } else if (!optionsDone && arg == "--size") {
            if (i + 1 >= args.size()) {
                CommandError("decode-block", "--size needs a value");
                return 2;
            }
            sizeText = args[++i];
            haveSize = 1;
        } else if (!optionsDone && arg.compare(0, 7, "--size=") == 0) {
            sizeText = arg.substr(7);
            haveSize = 1;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            CommandError("decode-block", "unknown option " + arg);
            return 2;
        } else {
            operands.push_back(arg);
        }
    }
    if (!haveSize || operands.size() != 2) {
        fputs(DecodeBlockUsage, stderr);
        return 2;
    }
    uint32_t size;
    if (!ParseSize(sizeText, &size)) {
        CommandError("decode-block", "--size wants a byte count from 0 to 4294967295, not '" + sizeText + "'");
        return 2;
    }
    std::vector<unsigned char> block;
    std::string error;
    if (!ReadWholeFile(operands[0], &block, &error)) {
        CommandError("decode-block", error);
        return 1;
    }
    if (!BlockCanDecodeTo(block.size(), size)) {
        CommandError("decode-block", operands[0] + ": a " + std::to_string(block.size()) +
                                         "-byte block cannot decode to " + sizeText + " bytes");
        return 1;
    }
    std::vector<unsigned char> out(size);
    unsigned char none;
    if (!DecompressBlock(size ? out.data() : &none, size, block.data(), block.size())) {
        CommandError("decode-block", operands[0] + ": malformed block: it does not decode to exactly " + sizeText +
                                         " bytes");
        return 1;
    }
    if (!WriteWholeFile(operands[1], out.data(), out.size(), &error)) {
        CommandError("decode-block", error);
        return 1;
    }
    return 0;
}
