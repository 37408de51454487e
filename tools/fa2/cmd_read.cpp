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
#include "stop_cleanup.h"

static const char ListUsage[] =
    "usage: fa2 list ARCHIVE\n"
    "Prints one line per entry: unpacked size, stored size, marks (method: - stored, c block method,\n"
    "l LZMA; then s: scrambled), file time (UTC) and name.\n";
static const char ExtractUsage[] =
    "usage: fa2 extract ARCHIVE DIR [NAME...]\n"
    "Writes every entry, or the named ones, into DIR (created when missing) with their file times.\n"
    "Names are looked up as the updater looks them up: letter case ignored, first match wins.\n";
static const char VerifyUsage[] =
    "usage: fa2 verify ARCHIVE\n"
    "Decodes the table and every entry, reports each damaged one. An updater built by fa2 build carries\n"
    "checksums of its table and entries, which are compared too. Exit status: 0 every entry decodes and matches\n"
    "its checksum, 1 an entry or the table is damaged, 3 every entry decodes but there are no checksums it could\n"
    "be held to (a bare archive, or checksums of a later format): a changed byte may have gone unseen.\n";
static const char DecodeBlockUsage[] =
    "usage: fa2 decode-block --size N IN OUT\n"
    "Decodes the raw compressed block in IN, which must decode to exactly N bytes, into OUT.\n";

// Splits options from operands; `--` ends the options. 0 after reporting an unknown option.
static int SplitArgs(const char* command, const std::vector<std::string>& args, std::vector<std::string>* operands)
{
    int optionsDone = 0;
    for (const std::string& arg : args) {
        if (!optionsDone && arg == "--") {
            optionsDone = 1;
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
    default: return '?';
    }
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
        printf("%12" PRIu32 " %12" PRIu32 " %c%c %s %s\n", entry->unpackedSize, entry->storedSize,
               MethodMark(entry), EntryNeedsCopy(entry) ? 's' : '-',
               FormatFileTimeIso(FileTimeValue(entry->fileTime)).c_str(),
               Cp932ForDisplay(name.data(), name.size()).c_str());
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
    std::set<std::string> entryNames;          // folded; no scratch file takes one of these
    std::map<std::string, uint32_t> written;  // folded file name -> the entry written there
};

static void StartExtractRun(const LoadedArchive& archive, const std::string& dir, ExtractRun* run)
{
    run->archive = &archive;
    run->dir = dir;
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
    std::string temporary;
    FILE* file = CreateScratch(*run, &temporary, &error);
    if (!file) {
        CommandError("extract", shown + ": not extracted: " + error);
        return 0;
    }
    uint32_t sum;
    int streamed = StreamLoadedEntry(archive, index, WriteToFile, file, &sum, &error);
    int closed = fclose(file) == 0;
    if (streamed && closed && archive.hasSums && archive.sumsState == PayloadSumsRead &&
        sum != PayloadEntrySum(&archive.sums, index)) {
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
    std::vector<std::string> operands;
    if (!SplitArgs("extract", args, &operands))
        return 2;
    if (operands.size() < 2) {
        fputs(ExtractUsage, stderr);
        return 2;
    }
    LoadedArchive archive;
    if (!OpenInput("extract", operands[0], &archive))
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
    StartExtractRun(archive, dir, &run);
    if (operands.size() == 2) {
        for (uint32_t i = 0; i < LoadedEntryCount(archive); i++) {
            // An entry whose name an earlier one already answers is never reached by a lookup.
            const ArchiveEntry* first;
            uint64_t offset;
            std::string name = EntryName(LoadedEntry(archive, i));
            if (FindArchiveEntry(table, name.c_str(), &first, &offset) && first != LoadedEntry(archive, i)) {
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

// verify's status when every entry decodes but nothing held them to checksums.
const int VerifyUnchecked = 3;

int RunVerify(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(VerifyUsage, stdout);
        return 0;
    }
    std::vector<std::string> operands;
    if (!SplitArgs("verify", args, &operands))
        return 2;
    if (operands.size() != 1) {
        fputs(VerifyUsage, stderr);
        return 2;
    }
    LoadedArchive archive;
    if (!OpenInput("verify", operands[0], &archive))
        return 1;
    std::string sumsProblem = CheckTableSums(archive);
    if (!sumsProblem.empty()) {
        printf("damaged: %s\n", sumsProblem.c_str());
        return 1;
    }
    int checked = archive.hasSums && archive.sumsState == PayloadSumsRead;
    uint32_t count = LoadedEntryCount(archive), damaged = 0;
    for (uint32_t i = 0; i < count; i++) {
        std::string error;
        uint32_t sum;
        int decoded = StreamLoadedEntry(archive, i, DiscardBytes, nullptr, &sum, &error);
        if (decoded && checked && sum != PayloadEntrySum(&archive.sums, i)) {
            decoded = 0;
            error = "its bytes do not match the checksum";
        }
        if (!decoded) {
            std::string name = EntryName(LoadedEntry(archive, i));
            printf("damaged: %s: %s\n", Cp932ForDisplay(name.data(), name.size()).c_str(), error.c_str());
            damaged++;
        }
    }
    if (damaged) {
        printf("%" PRIu32 " of %" PRIu32 " entries damaged\n", damaged, count);
        return 1;
    }
    if (checked) {
        printf("%" PRIu32 " entries intact (checksums match)\n", count);
        return 0;
    }
    printf("%" PRIu32 " entries decode, but %s: a changed byte may have gone unseen\n", count,
           UncheckedReason(archive));
    return VerifyUnchecked;
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
