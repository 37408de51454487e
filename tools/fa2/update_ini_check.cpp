#include "update_ini_check.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "file_io.h"
#include "ini_reader.h"
#include "job/update_item.h"
#include "support/cp932.h"
#include "support/decimal.h"
#include "support/list_token.h"
#include "support/relative_path.h"
#include "text_encoding.h"

namespace {

struct KnownKey {
    const char* name;
    size_t capacity;  // the updater's buffer, NUL included
};

const KnownKey SetupKeys[] = {
    {"CompanyName", 260},    {"GameTitle", 260},      {"GameClass", 260},     {"GameDir", 260},
    {"GameTitleA", 260},     {"UpdaterVersion", 260}, {"UpdaterTitle", 260},  {"DataFolder", 260},
    {"UpdateMessage", 1024}, {"ModeTextUpdateOrInstall", 260}, {"AgreementText", 260}, {"AgreementTitle", 260},
};
const char* const SetupKeyNames[] = {"CompanyName",    "GameTitle",    "GameClass",     "GameDir",
                                     "GameTitleA",     "UpdaterVersion", "UpdaterTitle", "DataFolder",
                                     "UpdateMessage",  "ModeTextUpdateOrInstall", "AgreementText", "AgreementTitle"};
const char* const RequiredSetupKeys[] = {"CompanyName", "GameTitle", "GameClass", "GameDir"};
const char* const KnownSections[] = {"SETUP", "UPDATE"};
// What a mistyped key of [UPDATE] is compared with.
const char* const UpdateKeyNames[] = {"RequiredDiskSpace", "OverwriteOnly", "UpdateFile00", "CopyFile00"};

const int SeriesLength = 16;  // UpdateFile00..15, CopyFile00..15
const size_t UpdateItemCapacity = 1024;
const size_t CopyItemCapacity = 260;
const uint64_t MostComparableDiskSpace = 0x7FFFFFFF;
const char SeriesLimitHint[] =
    "the updater reads at most 16 of each list; pack game data into a few large files instead";

struct IniCheck {
    IniDocument doc;
    std::string shown;
    SourceFolder* folder;
    BuildReport* report;
};

std::string At(const IniCheck& c, int line) { return c.shown + ":" + std::to_string(line); }
std::string Shown(const std::string& cp932) { return Cp932ForDisplay(cp932.data(), cp932.size()); }

int NamesEqual(const std::string& a, const char* b) { return IniNamesEqual(a.data(), a.size(), b, strlen(b)); }

std::string SeriesKey(const char* prefix, int index)
{
    char key[32];
    snprintf(key, sizeof key, "%s%02d", prefix, index);
    return key;
}

int KeyHasPrefix(const std::string& key, const char* prefix)
{
    size_t n = strlen(prefix);
    return key.size() >= n && IniNamesEqual(key.data(), n, prefix, n);
}

// The number of a series key ("UpdateFile07" gives 7): two decimal digits after the prefix, else -1.
int SeriesIndex(const std::string& key, const char* prefix)
{
    std::string number = key.substr(strlen(prefix));
    if (number.size() != 2 || !isdigit((unsigned char)number[0]) || !isdigit((unsigned char)number[1]))
        return -1;
    return (number[0] - '0') * 10 + (number[1] - '0');
}

// A key of the series' form, with a number of any length; CheckSeries reports those the updater never reads.
int IsSeriesKey(const std::string& key, const char* prefix)
{
    size_t n = strlen(prefix);
    return KeyHasPrefix(key, prefix) && key.size() > n && isdigit((unsigned char)key[n]);
}

// The updater's own split of an UpdateFile value, on the value as it reads it (cut to 1023 bytes).
void SplitItem(const std::string& value, UpdateItem* item, int* selector)
{
    char buffer[UpdateItemCapacity];
    size_t kept = Cp932CutLength(value.c_str(), (unsigned)value.size(), UpdateItemCapacity - 1);
    memcpy(buffer, value.data(), kept);
    buffer[kept] = '\0';
    int savedDisk = CurrentDiskNo;
    SplitUpdateValue(buffer, kept < value.size(), item, selector);
    CurrentDiskNo = savedDisk;
}

// The value as the updater's buffer of `capacity` bytes holds it.
std::string CutToCapacity(const std::string& value, size_t capacity)
{
    return value.substr(0, Cp932CutLength(value.c_str(), (unsigned)value.size(), (unsigned)capacity - 1));
}

// A settings number as the updater reads it must be written plainly: an optional sign and digits.
int IsPlainInteger(const std::string& value)
{
    size_t at = (!value.empty() && (value[0] == '+' || value[0] == '-')) ? 1 : 0;
    if (at >= value.size())
        return 0;
    for (size_t k = at; k < value.size(); ++k)
        if (!isdigit((unsigned char)value[k]))
            return 0;
    return 1;
}

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            int same = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1]);
            row[j] = std::min(std::min(row[j] + 1, row[j - 1] + 1), diagonal + (same ? 0 : 1));
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A path of an item, DataFolder or a copy item that the updater would misplace or refuse, checked by the
// updater's own rule; "" when it is fine.
// A part of a backslash path (cp932: a trail byte may be 0x5C) ending in '.' or ' ', other than "." and "..".
int HasPartEndingInDotOrBlank(const std::string& path)
{
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\') {
            if (IsCp932LeadByte((unsigned char)path[i]) && i + 1 < path.size())
                ++i;
            continue;
        }
        std::string part = path.substr(start, i - start);
        if (!part.empty() && part != "." && part != ".." && (part.back() == '.' || part.back() == ' '))
            return 1;  // neither byte is ever a trail byte
        start = i + 1;
    }
    return 0;
}

std::string PathProblem(const std::string& path, int isCopy)
{
    // 0x2F is never a cp932 trail byte, so a byte search finds only real slashes.
    if (path.find('/') != std::string::npos)
        return "uses '/' between folders, which the updater takes as part of a name: write '\\' (as in "
               "sub\\file.dat)";
    if (!IsPathInsideFolder(path.c_str()))
        return "could leave its folder or names a device (an absolute path, a drive, '..', ':', or CON, NUL, AUX, "
               "PRN, COM1-9, LPT1-9): the updater refuses it";
    if (isCopy && NamesWholeDisc(path.c_str()))
        return "names the whole disc: the updater refuses it; name a file or a folder on the disc";
    if (HasPartEndingInDotOrBlank(path))
        return "has a name that ends in a dot or a blank, which Windows drops (\"" + Shown(path) +
               "\" is not the file it names): remove them";
    return "";
}

void CheckSections(IniCheck* c)
{
    for (const IniSection& s : c->doc.sections) {
        if (s.name.empty() && &s == &c->doc.sections.front()) {
            ReportError(c->report, At(*c, s.line), "a key before the first [section] is never read");
            continue;
        }
        const char* known = nullptr;
        for (const char* name : KnownSections)
            if (NamesEqual(s.name, name))
                known = name;
        if (!known) {
            std::string closest = ClosestName(s.name, KnownSections, 2);
            ReportError(c->report, At(*c, s.line),
                        "[" + Shown(s.name) + "] is not a section the updater reads" +
                            (closest.empty() ? " (it reads [SETUP] and [UPDATE])"
                                             : "; did you mean [" + closest + "]?"));
            continue;
        }
        const IniSection* first = FindIniSection(c->doc, known);
        if (first != &s)
            ReportError(c->report, At(*c, s.line),
                        std::string("a second [") + known + "] section is never read (the first is on line " +
                            std::to_string(first->line) + "); put its keys into the first");
    }
}

// The lines of a known section: a line without '=', a key given twice, a key the updater does not know, a
// value longer than it reads. `capacityOf` gives a known key's buffer, or 0 for a key the updater never reads.
void CheckKeyLines(IniCheck* c, const char* sectionName, size_t (*capacityOf)(const std::string& key),
                   const char* const* suggestions, size_t suggestionCount)
{
    const IniSection* section = FindIniSection(c->doc, sectionName);
    for (const IniEntry& e : section->entries) {
        std::string where = At(*c, e.line);
        if (e.key.empty()) {
            ReportError(c->report, where, "a line with '=' but no key: the updater reads nothing from it");
            continue;
        }
        if (!e.hasValue) {
            ReportError(c->report, where, "\"" + Shown(e.key) + "\" has no '=': the updater reads nothing from it");
            continue;
        }
        const IniEntry* used = FindIniEntry(c->doc, sectionName, e.key.c_str());
        if (used != &e) {
            ReportError(c->report, where,
                        Shown(e.key) + " is given again; only the first, on line " + std::to_string(used->line) +
                            ", is read");
            continue;
        }
        size_t capacity = capacityOf(e.key);
        if (capacity == 0) {
            std::string closest = ClosestName(e.key, suggestions, suggestionCount);
            ReportError(c->report, where,
                        std::string("[") + sectionName + "] " + Shown(e.key) + " is not a key the updater reads" +
                            (closest.empty() ? "" : "; did you mean " + closest + "?"));
            continue;
        }
        std::string value;
        ReadIniValue(c->doc, sectionName, e.key.c_str(), &value);
        if (value.size() >= capacity)
            ReportError(c->report, where,
                        Shown(e.key) + " is " + std::to_string(value.size()) +
                            " bytes long; the updater reads only its first " + std::to_string(capacity - 1));
    }
}

size_t SetupKeyCapacity(const std::string& key)
{
    for (const KnownKey& k : SetupKeys)
        if (NamesEqual(key, k.name))
            return k.capacity;
    return 0;
}

size_t UpdateKeyCapacity(const std::string& key)
{
    if (NamesEqual(key, "RequiredDiskSpace") || NamesEqual(key, "OverwriteOnly"))
        return 260;
    if (IsSeriesKey(key, "UpdateFile"))
        return UpdateItemCapacity;
    if (IsSeriesKey(key, "CopyFile"))
        return CopyItemCapacity;
    return 0;
}

// The file an item or an agreement key names: exactly one file of the folder must carry that entry name.
SourceFile* NamedFile(IniCheck* c, const std::string& where, const std::string& what, const std::string& entry,
                      const std::string& consequence)
{
    std::vector<SourceFile*> found = SourceEntries(c->folder, entry);
    if (found.empty()) {
        const SourceOther* other = FindSourceOther(c->folder, entry);
        ReportError(c->report, where,
                    what + " names \"" + Shown(entry) + "\", which is " +
                        (other ? "in the folder as " + other->shown + ": " + other->what : "not in the folder") +
                        consequence);
        return nullptr;
    }
    if (found.size() > 1) {
        std::string paths;
        for (const SourceFile* f : found)
            paths += (paths.empty() ? "" : ", ") + f->shown;
        ReportError(c->report, where,
                    what + " names \"" + Shown(entry) + "\", and " + std::to_string(found.size()) +
                        " files of the folder have that entry name (" + paths +
                        "): entries are named by the bare file name, letter case ignored");
        return nullptr;
    }
    found[0]->named = 1;
    return found[0];
}

// A text the updater shows (an agreement entry): Shift-JIS or an error with its line.
void CheckShownText(IniCheck* c, const SourceFile& file)
{
    std::vector<unsigned char> bytes;
    std::string error;
    if (!ReadWholeFile(file.path, &bytes, &error)) {
        ReportError(c->report, "", error);
        return;
    }
    int line;
    TextEncoding encoding = DetectTextEncoding(bytes.data(), bytes.size(), &line);
    if (encoding != TextCp932)
        ReportError(c->report, file.shown + ":" + std::to_string(line), EncodingProblem(encoding));
}

void CheckSetup(IniCheck* c)
{
    if (!FindIniSection(c->doc, "SETUP")) {
        ReportError(c->report, c->shown, "no [SETUP] section: the updater stops at once");
        return;
    }
    CheckKeyLines(c, "SETUP", SetupKeyCapacity, SetupKeyNames, sizeof SetupKeyNames / sizeof SetupKeyNames[0]);
    std::string value;
    for (const char* key : RequiredSetupKeys)
        if (!ReadIniValue(c->doc, "SETUP", key, &value))
            ReportError(c->report, c->shown,
                        std::string("[SETUP] ") + key + " is missing or empty: the updater stops with \"SETUP : " +
                            key + " キーが存在しません\"");
    if (ReadIniValue(c->doc, "SETUP", "ModeTextUpdateOrInstall", &value) && !IsPlainInteger(value))
        ReportError(c->report, At(*c, FindIniEntry(c->doc, "SETUP", "ModeTextUpdateOrInstall")->line),
                    "ModeTextUpdateOrInstall \"" + Shown(value) + "\" is not a number; the updater reads it as " +
                        std::to_string(ParseSignedDecimal(value.c_str())));
    if (ReadIniValue(c->doc, "SETUP", "DataFolder", &value)) {
        std::string problem = PathProblem(CutToCapacity(value, 260), 0);
        if (!problem.empty())
            ReportError(c->report, At(*c, FindIniEntry(c->doc, "SETUP", "DataFolder")->line), "DataFolder " + problem);
    }
    for (const char* key : {"AgreementText", "AgreementTitle"}) {
        if (!ReadIniValue(c->doc, "SETUP", key, &value))
            continue;
        std::string where = At(*c, FindIniEntry(c->doc, "SETUP", key)->line);
        SourceFile* file = NamedFile(c, where, std::string("[SETUP] ") + key, CutToCapacity(value, 260),
                                     ": the updater stops with \"Can't Find File in Resource !!\"");
        if (!file)
            continue;
        file->plain = 1;
        CheckShownText(c, *file);
    }
}

// How the updater reads a series: keys 00 upwards until the first missing or empty one, at most 16. Every other
// key of the series' form is never read, which is an error. Returns how many the updater reads.
int CheckSeries(IniCheck* c, const char* prefix)
{
    const IniSection* section = FindIniSection(c->doc, "UPDATE");
    int length = 0;
    std::string value;
    while (length < SeriesLength && ReadIniValue(c->doc, "UPDATE", SeriesKey(prefix, length).c_str(), &value))
        ++length;
    for (const IniEntry& e : section->entries) {
        if (!e.hasValue || FindIniEntry(c->doc, "UPDATE", e.key.c_str()) != &e)
            continue;  // reported with the lines of the section
        if (!IsSeriesKey(e.key, prefix))
            continue;
        int index = SeriesIndex(e.key, prefix);
        std::string where = At(*c, e.line);
        if (index < 0 || index >= SeriesLength) {
            ReportError(c->report, where,
                        Shown(e.key) + " is never read: the updater reads " + SeriesKey(prefix, 0) + " to " +
                            SeriesKey(prefix, SeriesLength - 1) +
                            (index < 0 && e.key.size() == strlen(prefix) + 1 ? ", two digits each"
                                                                              : std::string("; ") + SeriesLimitHint));
        } else if (index == length && ReadIniValue(c->doc, "UPDATE", e.key.c_str(), &value) == 0) {
            ReportError(c->report, where, Shown(e.key) + " is empty, so it names no file");
        } else if (index > length) {
            const IniEntry* stop = FindIniEntry(c->doc, "UPDATE", SeriesKey(prefix, length).c_str());
            ReportError(c->report, where,
                        Shown(e.key) + " is never read: the updater stops at " + SeriesKey(prefix, length) +
                            (stop ? ", which is empty (line " + std::to_string(stop->line) + ")" : ", which is missing"));
        }
    }
    return length;
}

// The item's selector, kind and path as one text, to find an item given twice.
std::string ItemIdentity(const std::string& value)
{
    UpdateItem item;
    int selector;
    SplitItem(value, &item, &selector);
    std::string identity = std::to_string(selector) + "," + std::to_string((int)item.kind) + ",";
    for (const char* p = item.path; *p; ++p)
        identity += (char)(IsCp932LeadByte((unsigned char)*p) ? *p : tolower((unsigned char)*p));
    return identity;
}

void CheckUpdateItems(IniCheck* c, int count)
{
    std::vector<std::pair<std::string, std::string>> seen;  // identity, key
    for (int i = 0; i < count; ++i) {
        std::string key = SeriesKey("UpdateFile", i), value;
        ReadIniValue(c->doc, "UPDATE", key.c_str(), &value);
        std::string where = At(*c, FindIniEntry(c->doc, "UPDATE", key.c_str())->line);
        int wasCut = 0;
        std::string entry = UpdateItemEntryName(value, &wasCut);
        if (wasCut) {
            ReportError(c->report, where, key + " has a path the updater cuts (longer than 259 bytes, or past the value's 1023)");
            continue;
        }
        if (entry.empty()) {
            ReportError(c->report, where, key + " names no file");
            continue;
        }
        std::string identity = ItemIdentity(value);
        int repeated = 0;
        for (const auto& s : seen)
            if (s.first == identity) {
                ReportError(c->report, where, key + " repeats " + s.second + ": the same file to the same place");
                repeated = 1;
                break;  // the first item it repeats; the others repeat that one too
            }
        seen.emplace_back(identity, key);
        if (repeated)
            continue;
        UpdateItem item;
        int selector;
        SplitItem(value, &item, &selector);
        std::string problem = PathProblem(item.path, 0);
        if (!problem.empty()) {
            ReportError(c->report, where, key + " " + problem);
            continue;
        }
        SourceFile* file = NamedFile(c, where, key, entry, "");
        if (file && item.kind != UpdateKind::Data)
            file->itemPaths.push_back(item.path);
    }
}

void CheckCopyItems(IniCheck* c, int count)
{
    for (int i = 0; i < count; ++i) {
        std::string key = SeriesKey("CopyFile", i), value;
        ReadIniValue(c->doc, "UPDATE", key.c_str(), &value);
        std::string where = At(*c, FindIniEntry(c->doc, "UPDATE", key.c_str())->line);
        std::string rest = CutToCapacity(value, CopyItemCapacity);
        // A double-byte first character is never a prefix: its trail byte is never ',' or ':'.
        if (rest.size() >= 2 && !IsCp932LeadByte((unsigned char)rest[0]) && rest[1] == ',') {
            if (!isdigit((unsigned char)rest[0]))
                ReportError(c->report, where,
                            key + ": the installation type \"" + Shown(rest.substr(0, 1)) +
                                "\" is not a digit, so no installation gets this item");
            rest = rest.substr(2);
        }
        if (rest.size() >= 2 && !IsCp932LeadByte((unsigned char)rest[0]) && rest[1] == ':') {
            if (!isdigit((unsigned char)rest[0]))
                ReportError(c->report, where, key + ": the disk number \"" + Shown(rest.substr(0, 1)) + "\" is not a digit");
            rest = rest.substr(2);
        }
        if (rest.empty()) {
            ReportError(c->report, where, key + " names nothing to copy from the disc");
            continue;
        }
        std::string problem = PathProblem(rest, 1);
        if (!problem.empty())
            ReportError(c->report, where, key + " " + problem);
    }
}

void CheckNumbers(IniCheck* c)
{
    std::string value;
    if (ReadIniValue(c->doc, "UPDATE", "RequiredDiskSpace", &value)) {
        std::string where = At(*c, FindIniEntry(c->doc, "UPDATE", "RequiredDiskSpace")->line);
        if (!IsPlainInteger(value) || value[0] == '-')
            ReportError(c->report, where,
                        "RequiredDiskSpace \"" + Shown(value) + "\" is not a number of bytes; the updater would read it as " +
                            std::to_string(ParseSignedDecimal(value.c_str())));
        else if (ParseUnsignedDecimal64(value.c_str()) > MostComparableDiskSpace)
            ReportError(c->report, where,
                        "RequiredDiskSpace " + value + " is more than the updater can compare (at most " +
                            std::to_string(MostComparableDiskSpace) + " bytes)");
    }
    if (ReadIniValue(c->doc, "UPDATE", "OverwriteOnly", &value) && !IsPlainInteger(value))
        ReportError(c->report, At(*c, FindIniEntry(c->doc, "UPDATE", "OverwriteOnly")->line),
                    "OverwriteOnly \"" + Shown(value) + "\" is not a number; the updater reads it as " +
                        std::to_string(ParseSignedDecimal(value.c_str())));
}

void CheckUpdate(IniCheck* c)
{
    if (!FindIniSection(c->doc, "UPDATE")) {
        ReportError(c->report, c->shown,
                    "no [UPDATE] section: the updater stops with \"No 'UpdateFileXX' and 'CopyFileXX'\"");
        return;
    }
    CheckKeyLines(c, "UPDATE", UpdateKeyCapacity, UpdateKeyNames, sizeof UpdateKeyNames / sizeof UpdateKeyNames[0]);
    int updates = CheckSeries(c, "UpdateFile");
    int copies = CheckSeries(c, "CopyFile");
    if (updates == 0 && copies == 0)
        ReportError(c->report, c->shown,
                    "[UPDATE] has neither UpdateFile00 nor CopyFile00: the updater stops with \"No 'UpdateFileXX' and "
                    "'CopyFileXX'\"");
    CheckUpdateItems(c, updates);
    CheckCopyItems(c, copies);
    CheckNumbers(c);
}

}  // namespace

std::string ClosestName(const std::string& name, const char* const* known, size_t count)
{
    std::string best;
    size_t bestDistance = (size_t)-1;
    for (size_t i = 0; i < count; ++i) {
        size_t d = EditDistance(name, known[i]);
        if (d < bestDistance) {
            bestDistance = d;
            best = known[i];
        }
    }
    size_t allowed = std::max<size_t>(2, best.size() / 3);
    return bestDistance <= allowed ? best : "";
}

std::string UpdateItemEntryName(const std::string& value, int* wasCut)
{
    UpdateItem item;
    int selector;
    SplitItem(value, &item, &selector);
    *wasCut = item.refused == ItemPathCut;
    return std::string(item.path + item.nameOffset);
}

void CheckUpdateIni(const std::string& text, const std::string& shown, SourceFolder* folder, BuildReport* report)
{
    int line;
    TextEncoding encoding = DetectTextEncoding((const unsigned char*)text.data(), text.size(), &line);
    if (encoding != TextCp932) {
        // Every value would be read as other characters; nothing more is worth checking.
        ReportError(report, shown + ":" + std::to_string(line), EncodingProblem(encoding));
        return;
    }
    IniCheck c;
    ParseIniText(text.data(), text.size(), &c.doc);
    c.shown = shown;
    c.folder = folder;
    c.report = report;
    CheckSections(&c);
    CheckSetup(&c);
    CheckUpdate(&c);
}
