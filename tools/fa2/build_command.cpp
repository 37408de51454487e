// fa2 build: a folder with UPDATE.INI becomes a ready updater executable.
#include "build_command.h"
#include "fa2_commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/archive_format.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "file_io.h"
#include "ini_reader.h"
#include "pe_resources.h"
#include "support/cp932.h"
#include "support/decimal.h"
#include "support/list_token.h"
#include "wizard/update_item.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char BuildUsage[] =
    "usage: fa2 build SOURCE_DIR -o OUT.exe [--stub UPDATE.exe] [--fast|--best|--store] [--scramble]\n"
    "                 [--codec fa2|lzma]\n"
    "Checks SOURCE_DIR/UPDATE.INI against the folder, packs every file of the folder (sub-folders included) as\n"
    "an entry named by its bare file name, and writes OUT.exe: a copy of the updater with the archive as its\n"
    "resource UPDATE/102.\n"
    "  -o, --output FILE  the updater to write\n"
    "  --stub FILE        the updater executable to copy (default: UPDATE.exe beside fa2)\n"
    "  --fast, --best     quicker or smaller compression than the default\n"
    "  --store            compress nothing\n"
    "  --scramble         scramble the entries the updater extracts (agreement texts stay plain)\n"
    "File times come from the files, or all from SOURCE_DATE_EPOCH when it is set.\n"
    "Exit codes: 0 built, 1 failed, 2 wrong usage, 3 the folder or UPDATE.INI has problems.\n";

const char* const RequiredSetupKeys[] = {"CompanyName", "GameTitle", "GameClass", "GameDir"};
struct KnownKey {
    const char* name;
    size_t capacity;  // the updater's buffer, NUL included
};
const KnownKey SetupKeys[] = {
    {"CompanyName", 260},     {"GameTitle", 260},      {"GameClass", 260},      {"GameDir", 260},
    {"GameTitleA", 260},      {"UpdaterVersion", 260}, {"UpdaterTitle", 260},   {"DataFolder", 260},
    {"UpdateMessage", 1024},  {"ModeTextUpdateOrInstall", 260}, {"AgreementText", 260}, {"AgreementTitle", 260},
};
const int SeriesLength = 16;         // UpdateFile00..15, CopyFile00..15
const size_t UpdateItemCapacity = 1024;
const size_t CopyItemCapacity = 260;
const uint64_t MostComparableDiskSpace = 0x7FFFFFFF;

struct SourceFile {
    std::string path;      // UTF-8, for reading
    std::string shown;     // UTF-8, relative to the source folder
    std::string entry;     // cp932 entry name
    int named;             // an item, an agreement key or UPDATE.INI names it
    int plain;             // must stay unscrambled: the updater loads it without descrambling
};

struct Reporter {
    FILE* err;
    std::string iniShown;
    int errors;
    int warnings;
};

void Report(Reporter* r, const char* kind, const std::string& where, const std::string& text)
{
    fprintf(r->err, "fa2 build: %s%s: %s\n", where.empty() ? "" : (where + ": ").c_str(), kind, text.c_str());
}
void Error(Reporter* r, const std::string& where, const std::string& text)
{
    ++r->errors;
    Report(r, "error", where, text);
}
void Warning(Reporter* r, const std::string& where, const std::string& text)
{
    ++r->warnings;
    Report(r, "warning", where, text);
}
std::string AtLine(const Reporter* r, int line) { return r->iniShown + ":" + std::to_string(line); }
std::string Shown(const std::string& cp932) { return Cp932ForDisplay(cp932.data(), cp932.size()); }

std::string SeriesKey(const char* prefix, int index)
{
    char key[32];
    snprintf(key, sizeof key, "%s%02d", prefix, index);
    return key;
}

// Every file below `dir`, walked in name order; hidden names and other kinds of file are reported and left out.
int CollectFiles(const std::string& dir, const std::string& shownDir, std::vector<SourceFile>* files, Reporter* r)
{
    std::vector<std::string> names, others;
    std::string error;
    if (!ListFolderFiles(dir, &names, &others, &error)) {
        Error(r, "", error);
        return 0;
    }
    for (const std::string& name : names) {
        std::string shown = JoinPath(shownDir, name);
        if (name[0] == '.') {
            Warning(r, shown, "hidden file left out");
            continue;
        }
        SourceFile file;
        file.path = JoinPath(dir, name);
        file.shown = shown;
        file.named = 0;
        file.plain = 0;
        if (!Utf8ToCp932(name, &file.entry)) {
            Error(r, shown, "the file name has no Shift-JIS (cp932) form, so the updater cannot name it");
            continue;
        }
        if (file.entry.size() >= ArchiveNameSize) {
            Error(r, shown, "the file name is longer than 259 bytes in Shift-JIS");
            continue;
        }
        files->push_back(file);
    }
    for (const std::string& name : others) {
        std::string path = JoinPath(dir, name);
        std::string shown = JoinPath(shownDir, name);
        std::error_code code;
        if (name[0] == '.') {
            Warning(r, shown, "hidden entry left out");
        } else if (fs::is_symlink(fs::u8path(path), code)) {
            // A linked folder could lead back up the tree.
            Warning(r, shown, "a link to a folder; left out");
        } else if (fs::is_directory(fs::u8path(path), code)) {
            if (!CollectFiles(path, shown, files, r))
                return 0;
        } else {
            Warning(r, shown, "not a regular file; left out");
        }
    }
    return 1;
}

SourceFile* FindFile(std::vector<SourceFile>* files, const std::string& entry)
{
    for (SourceFile& f : *files)
        if (ArchiveNamesEqual(f.entry.c_str(), entry.c_str()))
            return &f;
    return nullptr;
}

int KeyHasPrefix(const std::string& key, const char* prefix)
{
    size_t n = strlen(prefix);
    return key.size() >= n && IniNamesEqual(key.data(), n, prefix, n);
}

// The value as the updater's buffer of `capacity` bytes holds it.
std::string CutToCapacity(const std::string& value, size_t capacity)
{
    return value.substr(0, Cp932CutLength(value.c_str(), (unsigned)value.size(), (unsigned)capacity - 1));
}

// Duplicate keys and repeated sections: the profile reader sees only the first of each.
void CheckShadowed(const IniDocument& ini, const char* sectionName, Reporter* r)
{
    const IniSection* first = FindIniSection(ini, sectionName);
    if (!first)
        return;
    for (const IniSection& s : ini.sections)
        if (&s != first && IniNamesEqual(s.name.data(), s.name.size(), sectionName, strlen(sectionName)))
            Warning(r, AtLine(r, s.line),
                    std::string("a second [") + sectionName + "] section is never read (the first is on line " +
                        std::to_string(first->line) + ")");
    for (const IniEntry& e : first->entries) {
        const IniEntry* used = FindIniEntry(ini, sectionName, e.key.c_str());
        if (used != &e && !e.key.empty())
            Warning(r, AtLine(r, e.line),
                    Shown(e.key) + " is given again; only the first, on line " + std::to_string(used->line) +
                        ", is read");
    }
}

void CheckSetup(const IniDocument& ini, std::vector<SourceFile>* files, Reporter* r)
{
    const IniSection* setup = FindIniSection(ini, "SETUP");
    if (!setup) {
        Error(r, r->iniShown, "no [SETUP] section: the updater stops at once");
        return;
    }
    CheckShadowed(ini, "SETUP", r);
    std::string value;
    for (const char* key : RequiredSetupKeys)
        if (!ReadIniValue(ini, "SETUP", key, &value))
            Error(r, r->iniShown,
                  std::string("[SETUP] ") + key + " is missing or empty: the updater stops with \"SETUP : " + key +
                      " キーが存在しません\"");
    for (const IniEntry& e : setup->entries) {
        const KnownKey* known = nullptr;
        for (const KnownKey& k : SetupKeys)
            if (IniNamesEqual(e.key.data(), e.key.size(), k.name, strlen(k.name)))
                known = &k;
        if (!known) {
            Warning(r, AtLine(r, e.line), "[SETUP] " + Shown(e.key) + " is not a key the updater reads");
            continue;
        }
        if (FindIniEntry(ini, "SETUP", known->name) == &e && ReadIniValue(ini, "SETUP", known->name, &value) &&
            value.size() >= known->capacity)
            Warning(r, AtLine(r, e.line),
                    std::string("[SETUP] ") + known->name + " is " + std::to_string(value.size()) +
                        " bytes long; the updater reads only its first " + std::to_string(known->capacity - 1));
    }
    for (const char* key : {"AgreementText", "AgreementTitle"}) {
        if (!ReadIniValue(ini, "SETUP", key, &value))
            continue;
        const IniEntry* e = FindIniEntry(ini, "SETUP", key);
        std::string entry = CutToCapacity(value, 260);
        SourceFile* file = FindFile(files, entry);
        if (!file) {
            Error(r, AtLine(r, e->line),
                  std::string("[SETUP] ") + key + " names \"" + Shown(entry) +
                      "\", which is not in the folder: the updater stops with \"Can't Find File in Resource !!\"");
            continue;
        }
        file->named = 1;
        file->plain = 1;
    }
}

// How the updater reads one series: keys 00 upwards until the first missing or empty one, at most 16. Every
// other key of the series' form is reported as never read.
int CheckSeries(const IniDocument& ini, const IniSection* section, const char* prefix, Reporter* r)
{
    int length = 0;
    std::string value;
    while (length < SeriesLength && ReadIniValue(ini, "UPDATE", SeriesKey(prefix, length).c_str(), &value))
        ++length;
    for (const IniEntry& e : section->entries) {
        if (!KeyHasPrefix(e.key, prefix))
            continue;
        if (FindIniEntry(ini, "UPDATE", e.key.c_str()) != &e)
            continue;  // reported as a repeated key
        std::string number = e.key.substr(strlen(prefix));
        int index = -1;
        if (number.size() == 2 && isdigit((unsigned char)number[0]) && isdigit((unsigned char)number[1]))
            index = (number[0] - '0') * 10 + (number[1] - '0');
        if (index < 0 || index >= SeriesLength) {
            Warning(r, AtLine(r, e.line),
                    Shown(e.key) + " is never read: the updater reads " + SeriesKey(prefix, 0) + " to " +
                        SeriesKey(prefix, SeriesLength - 1));
        } else if (index > length) {
            Warning(r, AtLine(r, e.line),
                    Shown(e.key) + " is never read: the updater stops at " + SeriesKey(prefix, length) +
                        ", which is missing or empty");
        }
    }
    return length;
}

void CheckUpdateItems(const IniDocument& ini, int count, std::vector<SourceFile>* files, Reporter* r)
{
    for (int i = 0; i < count; ++i) {
        std::string key = SeriesKey("UpdateFile", i), value;
        ReadIniValue(ini, "UPDATE", key.c_str(), &value);
        const IniEntry* e = FindIniEntry(ini, "UPDATE", key.c_str());
        std::string where = AtLine(r, e->line);
        if (value.size() >= UpdateItemCapacity)
            Warning(r, where, key + " is longer than the updater's 1023 bytes; the rest is never read");
        int wasCut = 0;
        std::string entry = UpdateItemEntryName(value, &wasCut);
        if (wasCut) {
            Error(r, where, key + " has a path the updater cuts (longer than 259 bytes, or past the value's 1023)");
            continue;
        }
        if (entry.empty()) {
            Error(r, where, key + " names no file");
            continue;
        }
        SourceFile* file = FindFile(files, entry);
        if (!file) {
            Error(r, where, key + " names \"" + Shown(entry) + "\", which is not in the folder");
            continue;
        }
        file->named = 1;
    }
}

void CheckCopyItems(const IniDocument& ini, int count, Reporter* r)
{
    for (int i = 0; i < count; ++i) {
        std::string key = SeriesKey("CopyFile", i), value;
        ReadIniValue(ini, "UPDATE", key.c_str(), &value);
        const IniEntry* e = FindIniEntry(ini, "UPDATE", key.c_str());
        std::string where = AtLine(r, e->line);
        if (value.size() >= CopyItemCapacity)
            Warning(r, where, key + " is longer than the updater's 259 bytes; the rest is never read");
        std::string rest = CutToCapacity(value, CopyItemCapacity);
        if (rest.size() >= 2 && rest[1] == ',') {
            if (!isdigit((unsigned char)rest[0]))
                Warning(r, where, key + ": the installation type \"" + rest.substr(0, 1) + "\" is not a digit");
            rest = rest.substr(2);
        }
        if (rest.size() >= 2 && rest[1] == ':') {
            if (!isdigit((unsigned char)rest[0]))
                Error(r, where, key + ": the disk number \"" + Shown(rest.substr(0, 1)) + "\" is not a digit");
            rest = rest.substr(2);
        }
        if (rest.empty())
            Error(r, where, key + " names nothing to copy from the disc");
    }
}

void CheckDiskSpace(const IniDocument& ini, Reporter* r)
{
    std::string value;
    if (!ReadIniValue(ini, "UPDATE", "RequiredDiskSpace", &value))
        return;
    std::string where = AtLine(r, FindIniEntry(ini, "UPDATE", "RequiredDiskSpace")->line);
    size_t at = value[0] == '+' ? 1 : 0;
    int digitsOnly = at < value.size();
    for (size_t k = at; k < value.size(); ++k)
        digitsOnly = digitsOnly && isdigit((unsigned char)value[k]);
    if (!digitsOnly) {
        Error(r, where,
              "RequiredDiskSpace \"" + Shown(value) + "\" is not a number of bytes; the updater would read it as " +
                  std::to_string(ParseSignedDecimal(value.c_str())));
        return;
    }
    if (ParseUnsignedDecimal64(value.c_str()) > MostComparableDiskSpace)
        Error(r, where,
              "RequiredDiskSpace " + value + " is more than the updater can compare (at most " +
                  std::to_string(MostComparableDiskSpace) + " bytes)");
}

void CheckUpdate(const IniDocument& ini, std::vector<SourceFile>* files, Reporter* r)
{
    const IniSection* update = FindIniSection(ini, "UPDATE");
    if (!update) {
        Error(r, r->iniShown, "no [UPDATE] section: the updater stops with \"No 'UpdateFileXX' and 'CopyFileXX'\"");
        return;
    }
    CheckShadowed(ini, "UPDATE", r);
    for (const IniEntry& e : update->entries)
        if (!KeyHasPrefix(e.key, "UpdateFile") && !KeyHasPrefix(e.key, "CopyFile") &&
            !IniNamesEqual(e.key.data(), e.key.size(), "RequiredDiskSpace", 17) &&
            !IniNamesEqual(e.key.data(), e.key.size(), "OverwriteOnly", 13))
            Warning(r, AtLine(r, e.line), "[UPDATE] " + Shown(e.key) + " is not a key the updater reads");
    int updates = CheckSeries(ini, update, "UpdateFile", r);
    int copies = CheckSeries(ini, update, "CopyFile", r);
    if (updates == 0 && copies == 0)
        Error(r, r->iniShown,
              "[UPDATE] has neither UpdateFile00 nor CopyFile00: the updater stops with \"No 'UpdateFileXX' and "
              "'CopyFileXX'\"");
    CheckUpdateItems(ini, updates, files, r);
    CheckCopyItems(ini, copies, r);
    CheckDiskSpace(ini, r);
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

std::string MegaBytes(double bytes)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

// A ticking line on a terminal while the archive is packed.
// "packing 3/8 entries, 12.0 MB of 30.0 MB, 15.2 MB/s" on one line of a terminal.
struct PackProgress {
    FILE* err;
    size_t entries;
    uint64_t bytes;
    std::chrono::steady_clock::time_point start;
};

void ShowPackProgress(void* context, size_t entriesDone, uint64_t bytesDone)
{
    PackProgress* p = (PackProgress*)context;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - p->start).count();
    double rate = seconds > 0 ? (double)bytesDone / seconds : 0;
    fprintf(p->err, "\r\x1b[Kfa2 build: packing %zu/%zu entries, %s of %s, %s/s", entriesDone, p->entries,
            MegaBytes((double)bytesDone).c_str(), MegaBytes((double)p->bytes).c_str(), MegaBytes(rate).c_str());
    fflush(p->err);
}

}  // namespace

std::string UpdateItemEntryName(const std::string& value, int* wasCut)
{
    // The updater's own split, on the value as the updater reads it (cut to 1023 bytes).
    char buffer[UpdateItemCapacity];
    size_t kept = Cp932CutLength(value.c_str(), (unsigned)value.size(), UpdateItemCapacity - 1);
    memcpy(buffer, value.data(), kept);
    buffer[kept] = '\0';
    int savedDisk = CurrentDiskNo;
    UpdateItem item;
    int selector;
    SplitUpdateValue(buffer, kept < value.size(), &item, &selector);
    CurrentDiskNo = savedDisk;
    *wasCut = item.refused;
    return std::string(item.path + item.nameOffset);
}

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
    auto started = std::chrono::steady_clock::now();
    Reporter r{err, "", 0, 0};
    std::error_code code;
    if (!fs::is_directory(fs::u8path(options.sourceDir), code)) {
        Error(&r, options.sourceDir, "not a folder");
        return BuildExitFailed;
    }

    // The folder, then UPDATE.INI against it.
    std::vector<SourceFile> files;
    if (!CollectFiles(options.sourceDir, options.sourceDir, &files, &r))
        return BuildExitFailed;
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.entry < b.entry || (a.entry == b.entry && a.shown < b.shown); });
    for (size_t i = 0; i < files.size(); ++i)
        for (size_t k = 0; k < i; ++k)
            if (ArchiveNamesEqual(files[k].entry.c_str(), files[i].entry.c_str()))
                Error(&r, files[i].shown,
                      "has the same entry name as " + files[k].shown +
                          " (entries are named by the bare file name, letter case ignored)");

    SourceFile* ini = FindFile(&files, "UPDATE.INI");
    if (!ini) {
        Error(&r, options.sourceDir, "no UPDATE.INI in the folder");
        return BuildExitInvalid;
    }
    ini->named = 1;
    r.iniShown = ini->shown;
    IniDocument doc;
    std::string error;
    if (!LoadIniFile(ini->path.c_str(), &doc, &error)) {
        Error(&r, r.iniShown, error);
        return BuildExitFailed;
    }
    if (doc.byteOrderMark) {
        Error(&r, r.iniShown,
              "starts with a Unicode byte-order mark; save it as Shift-JIS (cp932) without one, or every Japanese "
              "value reads as '?'");
        return BuildExitInvalid;
    }
    CheckSetup(doc, &files, &r);
    CheckUpdate(doc, &files, &r);
    for (const SourceFile& f : files)
        if (!f.named)
            Warning(&r, f.shown, "no item of UPDATE.INI names this file; it is packed all the same");
    if (r.errors) {
        fprintf(err, "fa2 build: %d error%s, %d warning%s; nothing written\n", r.errors, r.errors == 1 ? "" : "s",
                r.warnings, r.warnings == 1 ? "" : "s");
        return BuildExitInvalid;
    }

    // The stub first: a wrong one should not cost a long compression.
    std::vector<unsigned char> stub;
    if (!ReadWholeFile(options.stub, &stub, &error)) {
        Error(&r, "", error + " (give the updater executable with --stub)");
        return BuildExitFailed;
    }
    if (!LooksLikePeImage(stub.data(), stub.size())) {
        Error(&r, options.stub, "not a Windows executable");
        return BuildExitFailed;
    }

    // UPDATE.INI first, then the rest in entry-name order: the same folder always gives the same archive.
    std::stable_partition(files.begin(), files.end(),
                          [](const SourceFile& f) { return ArchiveNamesEqual(f.entry.c_str(), "UPDATE.INI"); });
    std::vector<WriterEntry> entries(files.size());
    uint64_t fileBytes = 0;
    int scrambled = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        WriterEntry& entry = entries[i];
        entry.name = files[i].entry;
        if (!ReadWholeFile(files[i].path, &entry.data, &error)) {
            Error(&r, "", error);
            return BuildExitFailed;
        }
        if (entry.data.size() > 0xFFFFFFFFu) {
            Error(&r, files[i].shown, "larger than 4 GiB, more than an archive entry can hold");
            return BuildExitInvalid;
        }
        if (options.fixedTime)
            entry.fileTime = options.fileTime;
        else if (!GetFileTimeValue(files[i].path, &entry.fileTime, &error)) {
            Error(&r, "", error);
            return BuildExitFailed;
        }
        entry.storage = options.store ? PackStore : PackCompressIfSmaller;
        entry.scramble = options.scramble && !files[i].plain;
        scrambled += entry.scramble;
        fileBytes += entry.data.size();
        if (options.progress) {
            fprintf(err, "\r\x1b[Kfa2 build: read %zu/%zu files, %s", i + 1, files.size(),
                    MegaBytes((double)fileBytes).c_str());
            fflush(err);
        }
    }

    WriterOptions writer;
    writer.table = options.store ? PackStore : PackCompressIfSmaller;
    writer.level = options.level;
    writer.codec = options.codec;
    std::vector<unsigned char> archive;
    auto packStart = std::chrono::steady_clock::now();
    PackProgress progress{err, entries.size(), fileBytes, packStart};
    if (options.progress) {
        writer.progress = ShowPackProgress;
        writer.progressContext = &progress;
    }
    int packed = WriteArchive(entries, writer, &archive, &error);
    if (options.progress) {
        fputs("\r\x1b[K", err);
        fflush(err);
    }
    double packSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - packStart).count();
    if (!packed) {
        Error(&r, "", error);
        return BuildExitInvalid;
    }

    // Read back what was packed, as the updater will, before anything is shipped.
    std::vector<unsigned char> copy(archive);
    LoadedArchive loaded;
    if (!OpenLoadedArchive(&copy, &loaded, &error)) {
        Error(&r, "", "the packed archive does not open again: " + error);
        return BuildExitFailed;
    }
    int compressed = 0;
    for (uint32_t i = 0; i < LoadedEntryCount(loaded); ++i) {
        std::vector<unsigned char> data;
        if (!DecodeLoadedEntry(loaded, i, &data, &error) || data != entries[i].data) {
            Error(&r, "", "entry " + Shown(entries[i].name) + " does not read back as packed");
            return BuildExitFailed;
        }
        compressed += EntryNeedsDecoding(LoadedEntry(loaded, i)) ? 1 : 0;
    }
    int tableCompressed =
        (LoadedTable(loaded)->header.flags & (ArchiveFlagTableCompressed | ArchiveFlagTableLzma)) != 0;

    std::vector<unsigned char> image;
    if (!WritePeResource(stub.data(), stub.size(), PayloadType, PayloadId, PayloadLanguage, archive.data(),
                         archive.size(), &image, &error)) {
        Error(&r, options.stub, error);
        return BuildExitFailed;
    }
    size_t at = 0, length = 0;
    if (!FindPeResource(image.data(), image.size(), PayloadType, PayloadId, &at, &length, &error) ||
        length != archive.size() || memcmp(image.data() + at, archive.data(), length) != 0) {
        Error(&r, "", "the written executable does not carry the archive as its payload");
        return BuildExitFailed;
    }
    if (!WriteWholeFile(options.output, image.data(), image.size(), &error)) {
        fs::remove(fs::u8path(options.output), code);
        Error(&r, "", error);
        return BuildExitFailed;
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fprintf(out, "Built %s\n", options.output.c_str());
    fprintf(out, "  entries     %zu (%d compressed, %zu stored, %d scrambled)\n", entries.size(), compressed,
            entries.size() - compressed, scrambled);
    fprintf(out, "  files       %llu bytes\n", (unsigned long long)fileBytes);
    fprintf(out, "  archive     %zu bytes (%.1f%% of the files; table %s)\n", archive.size(),
            fileBytes ? 100.0 * (double)archive.size() / (double)fileBytes : 100.0,
            tableCompressed ? "compressed" : "stored");
    fprintf(out, "  executable  %zu bytes\n", image.size());
    fprintf(out, "  time        %.2f s (packing %.2f s, %s/s)\n", seconds, packSeconds,
            MegaBytes(packSeconds > 0 ? (double)fileBytes / packSeconds : 0).c_str());
    if (r.warnings)
        fprintf(out, "  warnings    %d (see above)\n", r.warnings);
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
    options.progress = IsTerminal(stderr);
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
