// fa2 build from folders made here and from samples/update, with the stubs of pe_fixtures/.
// (This file is compiled with a cp932 execution character set: plain Japanese literals are cp932 bytes, as
// UPDATE.INI holds them; u8 literals are UTF-8, as file names on Linux and the tool's messages are.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive_reader.h"
#include "block_encoder.h"
#include "build_progress.h"
#include "cmd_build.h"
#include "file_io.h"
#include "lzma_encoder.h"
#include "pe_resources.h"
#include "support/little_endian.h"
#include "update_ini_check.h"

namespace fs = std::filesystem;

namespace {

typedef std::vector<unsigned char> Bytes;

std::string SourceRoot()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/host/"));
}
std::string Fixture(const char* name) { return SourceRoot() + "/tests/host/pe_fixtures/" + name; }
std::string SampleDir() { return SourceRoot() + "/samples/update"; }

// A fresh folder per test.
std::string NewFolder(const char* name)
{
    fs::path dir = fs::path(::testing::TempDir()) / (std::string("fa2_build_") + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

void Put(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::u8path(path).parent_path());
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

Bytes Read(const std::string& path)
{
    Bytes bytes;
    std::string error;
    ReadWholeFile(path, &bytes, &error);
    return bytes;
}

std::string Drain(FILE* f)
{
    std::string text;
    rewind(f);
    int c;
    while ((c = fgetc(f)) != EOF)
        text += (char)c;
    fclose(f);
    return text;
}

struct Outcome {
    int exit;
    std::string out, err;
};

BuildOptions Options(const std::string& dir, const std::string& output, const char* stub = "stub_plain.exe")
{
    BuildOptions o;
    o.sourceDir = dir;
    o.output = output;
    o.stub = Fixture(stub);
    o.level = EncodeFast;
    o.store = 0;
    o.scramble = 0;
    o.fixedTime = 1;
    o.fileTime = 133000000000000000ull;
    o.progress = ProgressNone;
    return o;
}

Outcome Build(const BuildOptions& options)
{
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    Outcome r;
    r.exit = BuildUpdater(options, out, err);
    r.out = Drain(out);
    r.err = Drain(err);
    return r;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The archive inside a built executable, opened as the tool reads it.
int OpenBuilt(const std::string& exe, LoadedArchive* archive)
{
    Bytes bytes;
    std::string error;
    if (!LoadArchiveInput(exe, &bytes, &error) || !OpenLoadedArchive(&bytes, archive, &error)) {
        ADD_FAILURE() << error;
        return 0;
    }
    return 1;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    return text;
}

const char SetupOk[] =
    "[SETUP]\r\nCompanyName=テスト工房\r\nGameTitle=テスト物語\r\nGameClass=TestWindow\r\nGameDir=テスト物語\r\n";

struct ProblemCase {
    const char* name;
    const char* ini;                           // UPDATE.INI (cp932); empty: no UPDATE.INI at all
    std::vector<std::pair<const char*, const char*>> files;  // UTF-8 path, content
    int exit;
    std::vector<const char*> lines;            // lines that must be on stderr; {dir} and {ini} are filled in
};

class BuildProblems : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(BuildProblems, OneLinePerProblem)
{
    const ProblemCase& c = GetParam();
    std::string dir = NewFolder(c.name);
    if (*c.ini)
        Put(dir + "/UPDATE.INI", c.ini);
    for (const auto& f : c.files)
        Put(dir + "/" + f.first, f.second);
    std::string exe = dir + ".exe";
    fs::remove(exe);
    Outcome r = Build(Options(dir, exe));
    EXPECT_EQ(r.exit, c.exit) << r.err;
    std::vector<std::string> lines = Lines(r.err);
    for (const char* expected : c.lines) {
        std::string line = Replace(Replace(expected, "{ini}", dir + "/UPDATE.INI"), "{dir}", dir);
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << "missing: " << line << "\nstderr:\n"
                                                                           << r.err;
    }
    EXPECT_EQ(fs::exists(exe), c.exit == BuildExitOk);
}

const char UpdateA[] = "[UPDATE]\r\nUpdateFile00=a.dat\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildProblems,
    ::testing::Values(
        ProblemCase{"no_ini", "", {{"a.dat", "a"}}, BuildExitInvalid, {"fa2 build: {dir}: error: no UPDATE.INI in the folder"}},
        ProblemCase{"missing_company",
                    "[SETUP]\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {u8"fa2 build: {ini}: error: [SETUP] CompanyName is missing or empty: the updater stops with "
                     u8"\"SETUP : CompanyName キーが存在しません\"",
                     "fa2 build: 1 error; nothing written"}},
        ProblemCase{"empty_gamedir",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=  \r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {u8"fa2 build: {ini}: error: [SETUP] GameDir is missing or empty: the updater stops with "
                     u8"\"SETUP : GameDir キーが存在しません\""}},
        ProblemCase{"no_setup", "[UPDATE]\r\nUpdateFile00=a.dat\r\n", {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}: error: no [SETUP] section: the updater stops at once"}},
        ProblemCase{"missing_entry",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\n"
                    "UpdateFile00=a.dat\r\nUpdateFile01=1,u,sub\\gone.dat\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: UpdateFile01 names \"gone.dat\", which is not in the folder"}},
        ProblemCase{"shared_name", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {"sub/A.DAT", "b"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:7: error: UpdateFile00 names \"a.dat\", and 2 files of the folder have that "
                     "entry name ({dir}/sub/A.DAT, {dir}/a.dat): entries are named by the bare file name, letter case "
                     "ignored"}},
        ProblemCase{"agreement",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\nAgreementText=AGREE.TXT\r\n"
                    "AgreementTitle=TITLE.TXT\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {"title.txt", "t"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: [SETUP] AgreementText names \"AGREE.TXT\", which is not in the "
                     "folder: the updater stops with \"Can't Find File in Resource !!\""}},
        ProblemCase{"gap",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\n"
                    "UpdateFile00=a.dat\r\nUpdateFile01=\r\nUpdateFile02=a.dat\r\nUpdateFile16=a.dat\r\n"
                    "UpdateFile3=a.dat\r\nUpdateFile00=b.dat\r\nCopyFile01=1:movie\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: UpdateFile01 is empty, so it names no file",
                     "fa2 build: {ini}:9: error: UpdateFile02 is never read: the updater stops at UpdateFile01, "
                     "which is empty (line 8)",
                     "fa2 build: {ini}:10: error: UpdateFile16 is never read: the updater reads UpdateFile00 to "
                     "UpdateFile15; the updater reads at most 16 of each list; pack game data into a few large files "
                     "instead",
                     "fa2 build: {ini}:11: error: UpdateFile3 is never read: the updater reads UpdateFile00 to "
                     "UpdateFile15, two digits each",
                     "fa2 build: {ini}:12: error: UpdateFile00 is given again; only the first, on line 7, is read",
                     "fa2 build: {ini}:13: error: CopyFile01 is never read: the updater stops at CopyFile00, which "
                     "is missing",
                     "fa2 build: 6 errors; nothing written"}},
        ProblemCase{"disk_space_big", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nRequiredDiskSpace=3000000000\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: RequiredDiskSpace 3000000000 is more than the updater can compare "
                     "(at most 2147483647 bytes)"}},
        ProblemCase{"disk_space_unit", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nRequiredDiskSpace=10MB\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: RequiredDiskSpace \"10MB\" is not a number of bytes; the updater "
                     "would read it as 10"}},
        ProblemCase{"disk_space_negative", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nRequiredDiskSpace=-1\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: RequiredDiskSpace \"-1\" is not a number of bytes; the updater "
                     "would read it as -1"}},
        ProblemCase{"disk_space_most", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nRequiredDiskSpace=2147483647\r\n",
                    {{"a.dat", "a"}},
                    BuildExitOk,
                    {}},
        ProblemCase{"unnamed_file", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {"extra.dat", "x"}, {".git/HEAD", "h"}, {"old/setup.log", "l"}},
                    BuildExitOk,
                    {"fa2 build: left out (UPDATE.INI names none of these): {dir}/extra.dat, {dir}/old/setup.log, "
                     "{dir}/.git (a hidden folder)"}},
        ProblemCase{"bom", "\xEF\xBB\xBF[SETUP]\r\nCompanyName=c\r\n", {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:1: error: the text is UTF-8 with a byte-order mark, not Shift-JIS (cp932), so "
                     "the updater would show it garbled; save it as Shift-JIS (cp932): in Notepad or another editor "
                     "choose the encoding \"Shift_JIS\" (\"ANSI\" on a Japanese Windows) when saving, or convert it "
                     "with iconv -t CP932 -f UTF-8 (and without a byte-order mark)"}},
        ProblemCase{"no_items", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nRequiredDiskSpace=5\r\nUpdateFile01=a.dat\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}: error: [UPDATE] has neither UpdateFile00 nor CopyFile00: the updater stops "
                     "with \"No 'UpdateFileXX' and 'CopyFileXX'\""}},
        ProblemCase{"no_cp932_name", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {u8"\U0001F600.dat", "x"}},
                    BuildExitOk,
                    {u8"fa2 build: left out (UPDATE.INI names none of these): {dir}/\U0001F600.dat (its name has no "
                     u8"Shift-JIS (cp932) form)"}},
        ProblemCase{"copy_disk", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nCopyFile00=2,x:movie\r\nCopyFile01=1:\r\n",
                    {},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:7: error: CopyFile00: the disk number \"x\" is not a digit",
                     "fa2 build: {ini}:8: error: CopyFile01 names nothing to copy from the disc"}},
        ProblemCase{"two_problems",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\nCompanyNme=x\r\n[UPDATE]\r\n"
                    "UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=u,\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: [SETUP] CompanyNme is not a key the updater reads; did you mean "
                     "CompanyName?",
                     "fa2 build: {ini}:9: error: UpdateFile01 names \"b.dat\", which is not in the folder",
                     "fa2 build: {ini}:10: error: UpdateFile02 names no file",
                     "fa2 build: 3 errors; nothing written"}}),
    [](const ::testing::TestParamInfo<ProblemCase>& info) { return std::string(info.param.name); });

// Each of these would make the updater do less than UPDATE.INI says; each is an error on its line, and nothing
// is written.
#define SETUP6 "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n"
INSTANTIATE_TEST_SUITE_P(
    Mistakes, BuildProblems,
    ::testing::Values(
        ProblemCase{"section_typo", SETUP6 "[UPDTAE]\r\nUpdateFile00=a.dat\r\n", {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: [UPDTAE] is not a section the updater reads; did you mean [UPDATE]?",
                     "fa2 build: {ini}: error: no [UPDATE] section: the updater stops with \"No 'UpdateFileXX' and "
                     "'CopyFileXX'\""}},
        ProblemCase{"trailing_dot", SETUP6 "[UPDATE]\r\nUpdateFile00=t.dat.\r\nUpdateFile01=sub \\a.dat\r\n",
                    {{"t.dat", "t"}, {"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:7: error: UpdateFile00 has a name that ends in a dot or a blank, which Windows "
                     "drops (\"t.dat.\" is not the file it names): remove them",
                     "fa2 build: {ini}:8: error: UpdateFile01 has a name that ends in a dot or a blank, which Windows "
                     "drops (\"sub \\a.dat\" is not the file it names): remove them"}},
        ProblemCase{"three_same_items",
                    SETUP6 "[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFile01=a.dat\r\nUpdateFile02=A.DAT\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: UpdateFile01 repeats UpdateFile00: the same file to the same place",
                     "fa2 build: {ini}:9: error: UpdateFile02 repeats UpdateFile00: the same file to the same place",
                     "fa2 build: 2 errors; nothing written"}},
        ProblemCase{"other_section", SETUP6 "[UPDATE]\r\nUpdateFile00=a.dat\r\n[Notes]\r\nx=y\r\n", {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: [Notes] is not a section the updater reads (it reads [SETUP] and "
                     "[UPDATE])"}},
        ProblemCase{"second_section",
                    SETUP6 "[UPDATE]\r\nUpdateFile00=a.dat\r\n[update]\r\nUpdateFile01=b.dat\r\n",
                    {{"a.dat", "a"}, {"b.dat", "b"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: a second [UPDATE] section is never read (the first is on line 6); "
                     "put its keys into the first",
                     "fa2 build: 1 error; nothing written"}},
        ProblemCase{"key_before_sections", "CompanyName=c\r\n" SETUP6 "[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:1: error: a key before the first [section] is never read"}},
        ProblemCase{"slash", SETUP6 "[UPDATE]\r\nUpdateFile00=u,bgm/theme.dat\r\nCopyFile00=1:movie/op.mpg\r\n",
                    {{"bgm/theme.dat", "t"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:7: error: UpdateFile00 uses '/' between folders, which the updater takes as "
                     "part of a name: write '\\' (as in sub\\file.dat)",
                     "fa2 build: {ini}:8: error: CopyFile00 uses '/' between folders, which the updater takes as "
                     "part of a name: write '\\' (as in sub\\file.dat)"}},
        ProblemCase{"repeated_item", SETUP6 "[UPDATE]\r\nUpdateFile00=u,sub\\a.dat\r\nUpdateFile01=U,SUB\\A.DAT\r\n"
                    "UpdateFile02=d,sub\\a.dat\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:8: error: UpdateFile01 repeats UpdateFile00: the same file to the same place",
                     "fa2 build: 1 error; nothing written"}},
        ProblemCase{"typo_keys", SETUP6 "UpdateMesage=hello\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\nUpdateFlie01=b.dat\r\n"
                    "OverwriteOnly=yes\r\nRequiredDiskSpace 5\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: [SETUP] UpdateMesage is not a key the updater reads; did you mean "
                     "UpdateMessage?",
                     "fa2 build: {ini}:9: error: [UPDATE] UpdateFlie01 is not a key the updater reads; did you mean "
                     "UpdateFile00?",
                     "fa2 build: {ini}:10: error: OverwriteOnly \"yes\" is not a number; the updater reads it as 0",
                     "fa2 build: {ini}:11: error: \"RequiredDiskSpace 5\" has no '=': the updater reads nothing from "
                     "it"}},
        ProblemCase{"too_long", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\nGameTitleA="
                    "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
                    "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
                    "0123456789012345678901234567890123456789012345678901234567890123456789\r\n"
                    "[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: GameTitleA is 270 bytes long; the updater reads only its first 259"}},
        ProblemCase{"copy_selector", SETUP6 "[UPDATE]\r\nCopyFile00=x,1:movie\r\n", {}, BuildExitInvalid,
                    {"fa2 build: {ini}:7: error: CopyFile00: the installation type \"x\" is not a digit, so no "
                     "installation gets this item"}},
        ProblemCase{"utf8_ini", "[SETUP]\r\nCompanyName=c\r\nGameTitle=\xE6\x98\x9F\r\nGameClass=c\r\nGameDir=d\r\n"
                    "[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:3: error: the text is UTF-8, not Shift-JIS (cp932), so the updater would show "
                     "it garbled; save it as Shift-JIS (cp932): in Notepad or another editor choose the encoding "
                     "\"Shift_JIS\" (\"ANSI\" on a Japanese Windows) when saving, or convert it with iconv -t CP932 "
                     "-f UTF-8",
                     "fa2 build: 1 error; nothing written"}},
        ProblemCase{"utf8_agreement", SETUP6 "AgreementText=AGREE.TXT\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {"AGREE.TXT", "Terms\r\n\xE5\x90\x8C\xE6\x84\x8F\r\n"}}, BuildExitInvalid,
                    {"fa2 build: {dir}/AGREE.TXT:2: error: the text is UTF-8, not Shift-JIS (cp932), so the updater "
                     "would show it garbled; save it as Shift-JIS (cp932): in Notepad or another editor choose the "
                     "encoding \"Shift_JIS\" (\"ANSI\" on a Japanese Windows) when saving, or convert it with iconv "
                     "-t CP932 -f UTF-8"}},
        ProblemCase{"paths_outside",
                    "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n"
                    "DataFolder=..\\..\\..\\windows\\system32\r\n[UPDATE]\r\n"
                    "UpdateFile00=..\\..\\..\\windows\\evil.dll\r\nUpdateFile01=NUL.txt\r\nUpdateFile02=u,sub\\a:b.dat\r\n"
                    "UpdateFile03=C:\\game\\ok.dat\r\nCopyFile00=1:..\\..\\..\\windows\\x.txt\r\nCopyFile01=2,1:*.*\r\n",
                    {{"evil.dll", "e"}, {"NUL.txt", "n"}, {"a:b.dat", "a"}, {"ok.dat", "o"}}, BuildExitInvalid,
                    {"fa2 build: {ini}:6: error: DataFolder could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:8: error: UpdateFile00 could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:9: error: UpdateFile01 could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:10: error: UpdateFile02 could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:11: error: UpdateFile03 could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:12: error: CopyFile00 could leave its folder or names a device (an absolute "
                     "path, a drive, '..', ':', or CON, NUL, AUX, PRN, COM1-9, LPT1-9): the updater refuses it",
                     "fa2 build: {ini}:13: error: CopyFile01 names the whole disc: the updater refuses it; name a "
                     "file or a folder on the disc",
                     "fa2 build: 7 errors; nothing written"}},
        ProblemCase{"lf_lines_are_fine", SETUP6 "[UPDATE]\nUpdateFile00=\x95\x5C\x8E\xA6.dat\n",
                    {{u8"表示.dat", "a"}}, BuildExitOk, {}}),
    [](const ::testing::TestParamInfo<ProblemCase>& info) { return std::string(info.param.name); });
#undef SETUP6

// The sample is the publisher's model: it must build without a single warning, and every entry must come back.
class SampleBuild : public ::testing::TestWithParam<const char*> {};

TEST_P(SampleBuild, PacksEveryFileAndKeepsTheStub)
{
    // A folder per stub: CTest runs the two in parallel.
    std::string exe = NewFolder((std::string("sample_out_") + GetParam()).c_str()) + "/Sample.exe";
    BuildOptions o = Options(SampleDir(), exe, GetParam());
    o.level = EncodeDefault;
    Outcome r = Build(o);
    ASSERT_EQ(r.exit, BuildExitOk) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Built " + exe), std::string::npos);

    LoadedArchive archive;
    ASSERT_TRUE(OpenBuilt(exe, &archive));
    // UPDATE.INI first, then bytewise cp932 order; a file of a sub-folder is named by its bare name.
    std::vector<std::string> names, paths = {"UPDATE.INI", "AGREE.TXT",   "TITLE.TXT",     "scenario.dat",
                                             "system.sav", "bgm/theme.dat", "voice.dat", u8"説明書.txt"};
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i)
        names.push_back(EntryName(LoadedEntry(archive, i)));
    std::vector<std::string> expected = {"UPDATE.INI", "AGREE.TXT", "TITLE.TXT", "scenario.dat",
                                         "system.sav", "theme.dat", "voice.dat", "説明書.txt"};
    ASSERT_EQ(names, expected);
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i) {
        SCOPED_TRACE(paths[i]);
        Bytes data;
        std::string error;
        ASSERT_TRUE(DecodeLoadedEntry(archive, i, &data, &error)) << error;
        EXPECT_TRUE(data == Read(SampleDir() + "/" + paths[i]));
        const ArchiveEntry* e = LoadedEntry(archive, i);
        EXPECT_EQ(FileTimeValue(e->fileTime), o.fileTime);
        EXPECT_EQ(e->scramble, 0);
        // Compressed exactly where that is smaller (the noise of voice.dat is not).
        size_t encoded = EncodeBlock(data.data(), data.size(), EncodeDefault).size();
        EXPECT_EQ((e->storage & EntryStorageCompressed) != 0, encoded < data.size());
        if (paths[i] == "voice.dat" || paths[i] == "scenario.dat") {
            EXPECT_EQ(e->storage, paths[i] == "voice.dat" ? EntryStorageStored : EntryStorageCompressed);
        }
    }

    // The stub's own resources are all still there, byte for byte; an older payload and its sums are gone.
    Bytes stub = Read(o.stub), built = Read(exe);
    std::vector<PeResource> before, after;
    std::string error;
    ASSERT_TRUE(ListPeResources(stub.data(), stub.size(), &before, &error));
    ASSERT_TRUE(ListPeResources(built.data(), built.size(), &after, &error));
    int kept = 0;
    for (const PeResource& r : before) {
        int isPayload = r.type.isName && r.type.name == u"UPDATE" && (r.name.id == 102 || r.name.id == 103) &&
                        !r.name.isName;
        for (const PeResource& n : after)
            if (n.type.isName == r.type.isName && n.type.id == r.type.id && n.type.name == r.type.name &&
                n.name.isName == r.name.isName && n.name.id == r.name.id && n.name.name == r.name.name &&
                n.language == r.language) {
                EXPECT_FALSE(isPayload) << "the old payload survived";
                ASSERT_EQ(n.size, r.size);
                EXPECT_EQ(0, memcmp(&built[n.offset], &stub[r.offset], r.size));
                ++kept;
            }
        if (!isPayload)
            --kept;
    }
    EXPECT_EQ(kept, 0);
    // stub_update.exe carries an old payload and old sums, which the new ones replace.
    EXPECT_EQ(after.size(), before.size() + 2 - (GetParam() == std::string("stub_update.exe") ? 2 : 0));
}

INSTANTIATE_TEST_SUITE_P(Stubs, SampleBuild, ::testing::Values("stub_plain.exe", "stub_update.exe", "stub64.exe"));

// The 32-bit and the 64-bit updater carry the same payload: the archive and its sums do not depend on the stub.
TEST(Build, EitherStubCarriesTheSamePayload)
{
    struct Built {
        const char* stub;
        Bytes image;
    } builds[] = {{"stub_plain.exe", {}}, {"stub64.exe", {}}};
    std::string dir = NewFolder("either_stub");
    for (Built& b : builds) {
        std::string exe = dir + "/" + b.stub;
        BuildOptions o = Options(SampleDir(), exe, b.stub);
        o.level = EncodeDefault;
        ASSERT_EQ(Build(o).exit, BuildExitOk) << b.stub;
        b.image = Read(exe);
    }
    ASSERT_NE(builds[0].image.size(), builds[1].image.size()) << "two different stubs";
    for (uint16_t id : {102, 103}) {
        SCOPED_TRACE(id);
        Bytes payload[2];
        for (int i = 0; i < 2; ++i) {
            size_t offset = 0, length = 0;
            std::string error;
            ASSERT_TRUE(FindPeResource(builds[i].image.data(), builds[i].image.size(), "UPDATE", id, &offset,
                                       &length, &error))
                << builds[i].stub << ": " << error;
            payload[i].assign(builds[i].image.begin() + offset, builds[i].image.begin() + offset + length);
        }
        EXPECT_FALSE(payload[0].empty());
        EXPECT_TRUE(payload[0] == payload[1]) << "resource " << id << " differs between the stubs";
    }
}

// An item whose file is there but cannot be packed is told what it found, not that nothing is there.
TEST(Build, ItemsNamingWhatIsNoFileSayWhatItIs)
{
    std::string dir = NewFolder("not_files");
    Put(dir + "/UPDATE.INI", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=pipe.dat\r\nUpdateFile01=gone.dat\r\n"
                                    "UpdateFile02=\x95\x5C.dat\r\nUpdateFile03=none.dat\r\n");
    ASSERT_EQ(mkfifo((dir + "/pipe.dat").c_str(), 0600), 0);
    fs::create_symlink("nowhere.dat", dir + "/gone.dat");
    Put(dir + "/\x95\x5C.dat", "a file saved under its Shift-JIS name");
    std::string exe = dir + ".exe";
    Outcome r = Build(Options(dir, exe));
    EXPECT_EQ(r.exit, BuildExitInvalid);
    std::string ini = dir + "/UPDATE.INI";
    for (std::string expected :
         {ini + ":7: error: UpdateFile00 names \"pipe.dat\", which is in the folder as " + dir +
              "/pipe.dat: a FIFO (named pipe), not a regular file",
          ini + ":8: error: UpdateFile01 names \"gone.dat\", which is in the folder as " + dir +
              "/gone.dat: a link to nothing (dangling), not a regular file",
          ini + u8":9: error: UpdateFile02 names \"表.dat\", which is in the folder as " + dir +
              u8"/表.dat: a file whose name is written in Shift-JIS (cp932), not in this system's UTF-8: rename it "
              "(convmv -f cp932 -t utf-8 --notest)",
          ini + ":10: error: UpdateFile03 names \"none.dat\", which is not in the folder"})
        EXPECT_NE(r.err.find("fa2 build: " + expected + "\n"), std::string::npos) << expected << "\n" << r.err;
    EXPECT_FALSE(fs::exists(exe));
}

TEST(Build, SameFolderSameBytes)
{
    std::string dir = NewFolder("repro");
    fs::copy(SampleDir(), dir, fs::copy_options::recursive);
    std::string one = dir + "_1.exe", two = dir + "_2.exe";
    BuildOptions o = Options(dir, one);
    o.fixedTime = 0;
    uint64_t stamp = 132000000000000000ull;  // 2019
    std::string error;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        if (item.is_regular_file()) {
            ASSERT_TRUE(SetFileTimeValue(item.path().string(), stamp, &error)) << error;
        }
    }
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    o.output = two;
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    Bytes first = Read(one);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first == Read(two));

    // The entries carry the files' own times; a touched file changes the build, a fixed time does not.
    LoadedArchive archive;
    ASSERT_TRUE(OpenBuilt(one, &archive));
    EXPECT_EQ(FileTimeValue(LoadedEntry(archive, 3)->fileTime), stamp);
    ASSERT_TRUE(SetFileTimeValue(dir + "/scenario.dat", stamp + 10000000, &error));
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    EXPECT_FALSE(first == Read(two));
    o.fixedTime = 1;
    o.output = one;
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    ASSERT_TRUE(SetFileTimeValue(dir + "/scenario.dat", stamp, &error));
    o.output = two;
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    EXPECT_TRUE(Read(one) == Read(two));
}

// fa2 list, extract and verify take an updater executable as well as a bare archive.
TEST(Build, ArchiveInputAcceptsUpdaters)
{
    std::string dir = NewFolder("input");
    std::string exe = dir + "/u.exe";
    ASSERT_EQ(Build(Options(SampleDir(), exe)).exit, BuildExitOk);
    Bytes fromExe, fromFile;
    std::string error;
    ASSERT_TRUE(LoadArchiveInput(exe, &fromExe, &error)) << error;
    ASSERT_GE(fromExe.size(), 16u);
    EXPECT_EQ(0, memcmp(fromExe.data(), "FA2", 4));
    std::string bare = dir + "/u.fa2";
    ASSERT_TRUE(WriteWholeFile(bare, fromExe.data(), fromExe.size(), &error));
    ASSERT_TRUE(LoadArchiveInput(bare, &fromFile, &error)) << error;
    EXPECT_TRUE(fromFile == fromExe);
    error.clear();
    EXPECT_FALSE(LoadArchiveInput(Fixture("stub_plain.exe"), &fromFile, &error));
    EXPECT_EQ(error, Fixture("stub_plain.exe") + ": the executable holds no UPDATE/102 resource");
}

TEST(Build, ScrambleLeavesTheAgreementTextsPlain)
{
    std::string exe = NewFolder("scramble") + "/s.exe";
    BuildOptions o = Options(SampleDir(), exe);
    o.scramble = 1;
    Outcome r = Build(o);
    ASSERT_EQ(r.exit, BuildExitOk) << r.err;
    EXPECT_NE(r.out.find("6 scrambled"), std::string::npos) << r.out;
    LoadedArchive archive;
    ASSERT_TRUE(OpenBuilt(exe, &archive));
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i) {
        std::string name = EntryName(LoadedEntry(archive, i));
        SCOPED_TRACE(name);
        int agreement = name == "AGREE.TXT" || name == "TITLE.TXT";
        EXPECT_EQ(LoadedEntry(archive, i)->scramble, agreement ? 0 : EntryScrambled);
        Bytes data;
        std::string error;
        EXPECT_TRUE(DecodeLoadedEntry(archive, i, &data, &error)) << error;
    }
}

TEST(Build, StoreCompressesNothing)
{
    std::string exe = NewFolder("store") + "/s.exe";
    BuildOptions o = Options(SampleDir(), exe);
    o.store = 1;
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    LoadedArchive archive;
    ASSERT_TRUE(OpenBuilt(exe, &archive));
    EXPECT_EQ(LoadedTable(archive)->header.flags & ArchiveFlagTableCompressed, 0u);
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i)
        EXPECT_EQ(LoadedEntry(archive, i)->storage, EntryStorageStored);
}

// LZMA entries are compressed two at a time; the updater is the same to the byte as from one job, with files of
// every kind (compressed, stored after trying, empty, scrambled), and with deltas among them (made alone, between
// files compressed side by side).
TEST(Build, LzmaJobsGiveTheSameBytes)
{
    std::string dir = NewFolder("lzma_jobs");
    fs::copy(SampleDir(), dir + "/src", fs::copy_options::recursive);
    std::string noise(700000, '\0');
    uint32_t x = 7;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = (char)(x >> 24);
    }
    Put(dir + "/src/voice.dat", noise);  // incompressible: compressed, then stored
    Put(dir + "/src/system.sav", "");
    fs::create_directories(dir + "/old/bgm");
    Put(dir + "/old/voice.dat", noise.substr(0, 600000) + std::string(1000, 'x') + noise.substr(600000));
    fs::copy_file(SampleDir() + "/bgm/theme.dat", dir + "/old/bgm/theme.dat");
    struct Case {
        int scramble, from, fallbackWhole;
        uint32_t deltas;
    } cases[] = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 2}, {1, 1, 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "scramble " << c.scramble << " from " << c.from << " whole "
                                        << c.fallbackWhole);
        Bytes built[2];
        for (int jobs : {1, 2}) {
            BuildOptions o = Options(dir + "/src", dir + "/u" + std::to_string(jobs) + ".exe");
            o.codec = CodecLzma;
            o.scramble = c.scramble;
            o.fromDirs = c.from ? std::vector<std::string>{dir + "/old"} : std::vector<std::string>();
            o.fallbackWhole = c.fallbackWhole;
            o.jobs = jobs;
            Outcome r = Build(o);
            ASSERT_EQ(r.exit, BuildExitOk) << r.err;
            built[jobs - 1] = Read(o.output);
            LoadedArchive archive;
            ASSERT_TRUE(OpenBuilt(o.output, &archive));
            uint32_t deltas = 0;
            for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i)
                deltas += LoadedEntry(archive, i)->storage == EntryStorageDelta;
            EXPECT_EQ(deltas, c.deltas);
        }
        EXPECT_GT(built[0].size(), c.from && !c.fallbackWhole ? 1000u : 700000u);
        EXPECT_TRUE(built[0] == built[1]) << "two jobs wrote another updater than one";
    }
}

// A file large enough for LZMA's pieces is packed alone, its pieces side by side with two jobs, between small
// files compressed side by side: the updater is the same to the byte as from one job, and the file reads back
// through its pieces, scrambled or not.
TEST(Build, ALargeFileInLzmaPiecesGivesTheSameBytesWithEitherJobs)
{
    std::string dir = NewFolder("lzma_pieces");
    fs::copy(SampleDir(), dir + "/src", fs::copy_options::recursive);
    static const char* words[] = {"scene ", "voice ", "\r\n", "0x1F ", "kagami ", "sakura "};
    std::string big;
    uint32_t x = 11;
    while (big.size() < LzmaPiecedFrom + 4096) {
        x = x * 1103515245u + 12345u;
        big += (x >> 28) < 12 ? std::string(words[(x >> 16) % 6]) : std::string(1, (char)(x >> 8));
    }
    Put(dir + "/src/voice.dat", big);
    for (int scramble : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "scramble " << scramble);
        Bytes built[2];
        for (int jobs : {1, 2}) {
            BuildOptions o = Options(dir + "/src", dir + "/u" + std::to_string(jobs) + ".exe");
            o.codec = CodecLzma;
            o.level = EncodeFast;
            o.scramble = scramble;
            o.jobs = jobs;
            Outcome r = Build(o);
            ASSERT_EQ(r.exit, BuildExitOk) << r.err;
            built[jobs - 1] = Read(o.output);
            LoadedArchive archive;
            ASSERT_TRUE(OpenBuilt(o.output, &archive));
            int found = 0;
            for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i) {
                const ArchiveEntry* e = LoadedEntry(archive, i);
                if (EntryName(e) != "voice.dat")
                    continue;
                found = 1;
                ASSERT_EQ(e->storage, EntryStorageLzma);
                Bytes head(archive.image.begin() + archive.dataOffsets[i],
                           archive.image.begin() + archive.dataOffsets[i] + 8);
                if (scramble)
                    DescrambleAt(e->storedSize, 0, head.data(), head.size());
                EXPECT_EQ(head[0], LzmaPiecedMark);
                Bytes data;
                std::string error;
                ASSERT_TRUE(DecodeLoadedEntry(archive, i, &data, &error)) << error;
                EXPECT_TRUE(data == Bytes(big.begin(), big.end()));
                EXPECT_LT(e->storedSize, big.size() / 2);
            }
            EXPECT_TRUE(found);
        }
        EXPECT_TRUE(built[0] == built[1]) << "two jobs wrote another updater than one";
    }
}

TEST(Build, LzmaCodecMarksItsEntriesAndTable)
{
    std::string dir = NewFolder("lzma");
    BuildOptions o = Options(SampleDir(), dir + "/block.exe");
    ASSERT_EQ(Build(o).exit, BuildExitOk);
    o.output = dir + "/lzma.exe";
    o.codec = CodecLzma;
    Outcome r = Build(o);
    ASSERT_EQ(r.exit, BuildExitOk) << r.err;
    LoadedArchive block, lzma;
    ASSERT_TRUE(OpenBuilt(dir + "/block.exe", &block));
    ASSERT_TRUE(OpenBuilt(dir + "/lzma.exe", &lzma));
    EXPECT_EQ(LoadedTable(lzma)->header.flags, ArchiveFlagTableLzma | ArchiveFlagNewMethods);
    ASSERT_EQ(LoadedEntryCount(lzma), LoadedEntryCount(block));
    for (uint32_t i = 0; i < LoadedEntryCount(lzma); ++i) {
        const ArchiveEntry* e = LoadedEntry(lzma, i);
        SCOPED_TRACE(EntryName(e));
        EXPECT_TRUE(e->storage == EntryStorageLzma || e->storage == EntryStorageStored);
        Bytes a, b;
        std::string error;
        ASSERT_TRUE(DecodeLoadedEntry(lzma, i, &a, &error)) << error;
        ASSERT_TRUE(DecodeLoadedEntry(block, i, &b, &error)) << error;
        EXPECT_TRUE(a == b);
    }
    EXPECT_LT(lzma.image.size(), block.image.size());
}

TEST(Build, LinkedFoldersAreLeftOut)
{
    std::string dir = NewFolder("links");
    Put(dir + "/UPDATE.INI", std::string(SetupOk) + UpdateA);
    Put(dir + "/sub/a.dat", "a");
    fs::create_directory_symlink(dir, dir + "/sub/loop");
    Outcome r = Build(Options(dir, dir + ".exe"));
    EXPECT_EQ(r.exit, BuildExitOk);
    EXPECT_EQ(r.err, "fa2 build: left out (UPDATE.INI names none of these): " + dir + "/sub/loop (a link to a folder)\n");
}

TEST(Build, EmptyAndLargeFiles)
{
    std::string dir = NewFolder("sizes");
    Put(dir + "/UPDATE.INI", std::string(SetupOk) + "[UPDATE]\r\nUpdateFile00=empty.dat\r\nUpdateFile01=big.dat\r\n");
    Put(dir + "/empty.dat", "");
    std::string big(24u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)((i * 2654435761u) >> 13);
    Put(dir + "/big.dat", big);
    std::string exe = dir + ".exe";
    BuildOptions o = Options(dir, exe, "stub_update.exe");
    o.store = 1;
    Outcome r = Build(o);
    ASSERT_EQ(r.exit, BuildExitOk) << r.err;
    LoadedArchive archive;
    ASSERT_TRUE(OpenBuilt(exe, &archive));
    ASSERT_EQ(LoadedEntryCount(archive), 3u);
    Bytes data;
    std::string error;
    ASSERT_TRUE(DecodeLoadedEntry(archive, 1, &data, &error));
    EXPECT_TRUE(data == Bytes(big.begin(), big.end()));
    ASSERT_TRUE(DecodeLoadedEntry(archive, 2, &data, &error));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(EntryName(LoadedEntry(archive, 2)), "empty.dat");
}

TEST(Build, RefusesUnusableStubs)
{
    std::string dir = NewFolder("stubs");
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + UpdateA);
    Put(dir + "/src/a.dat", "a");
    Put(dir + "/text.exe", "this is not a program");
    Bytes plain = Read(Fixture("stub_plain.exe"));
    Put(dir + "/cut.exe", std::string(plain.begin(), plain.begin() + 2000));
    struct StubCase {
        const char* stub;
        const char* line;
    } cases[] = {
        {"text.exe", "fa2 build: {dir}/text.exe: error: not a Windows executable"},
        {"cut.exe", "fa2 build: {dir}/cut.exe: error: PE section .text runs past the end of the file"},
    };
    for (const StubCase& c : cases) {
        SCOPED_TRACE(c.stub);
        BuildOptions o = Options(dir + "/src", dir + "/out.exe");
        o.stub = dir + "/" + c.stub;
        Outcome r = Build(o);
        EXPECT_EQ(r.exit, BuildExitFailed);
        EXPECT_EQ(r.err, Replace(c.line, "{dir}", dir) + "\n");
        EXPECT_FALSE(fs::exists(dir + "/out.exe"));
    }
    BuildOptions o = Options(dir + "/src", dir + "/out.exe");
    o.stub = dir + "/none.exe";
    Outcome r = Build(o);
    EXPECT_EQ(r.exit, BuildExitFailed);
    EXPECT_NE(r.err.find("give the updater executable with --stub"), std::string::npos) << r.err;
}

uint32_t U32At(const Bytes& b, size_t at) { return LoadLe32(&b[at]); }
void PutU32At(Bytes* b, size_t at, uint32_t v) { StoreLe32(&(*b)[at], v); }

// The stub with an uninitialised section of `bytes` behind its last one (memory only, as a large .bss): the
// image a loader must map grows without the file growing.
Bytes WithReservedSection(Bytes stub, uint32_t bytes)
{
    size_t pe = U32At(stub, 0x3C);
    size_t sections = stub[pe + 6] | stub[pe + 7] << 8;
    size_t opt = pe + 24;
    size_t table = opt + (stub[pe + 20] | stub[pe + 21] << 8);
    size_t last = table + (sections - 1) * 40, added = table + sections * 40;
    uint32_t alignment = U32At(stub, opt + 32);
    EXPECT_LE(added + 40, U32At(stub, opt + 60)) << "room in the headers";
    uint32_t va = (U32At(stub, last + 12) + std::max(U32At(stub, last + 8), U32At(stub, last + 16)) + alignment - 1) /
                  alignment * alignment;
    std::memset(&stub[added], 0, 40);
    std::memcpy(&stub[added], ".big", 4);
    PutU32At(&stub, added + 8, bytes);
    PutU32At(&stub, added + 12, va);
    PutU32At(&stub, added + 36, 0xC0000080);  // uninitialised data, read, write
    stub[pe + 6] = (unsigned char)(sections + 1);
    PutU32At(&stub, opt + 56, (va + bytes + alignment - 1) / alignment * alignment);
    return stub;
}

// An updater Windows would not start is written, with a warning that gives the figure for the stub's kind; the
// same image size is fine for the other kind. The figures themselves: on each side of the limit.
TEST(Build, WarnsWhenTheUpdaterIsPastWhatWindowsStarts)
{
    struct {
        int pe32Plus;
        uint64_t imageSize;
        bool warns;
    } limits[] = {
        {0, Pe32StartLimit, false},       {0, Pe32StartLimit + 1, true},     {0, 3ull << 30, true},
        {1, Pe32StartLimit + 1, false},   {1, Pe32PlusStartLimit, false},    {1, Pe32PlusStartLimit + 1, true},
    };
    for (const auto& c : limits) {
        SCOPED_TRACE(std::to_string(c.pe32Plus) + " " + std::to_string(c.imageSize));
        std::string warning = StartLimitWarning(c.pe32Plus, c.imageSize);
        EXPECT_EQ(!warning.empty(), c.warns) << warning;
        uint64_t limit = c.pe32Plus ? Pe32PlusStartLimit : Pe32StartLimit;
        if (c.warns) {
            EXPECT_NE(warning.find(std::to_string(limit) + " bytes"), std::string::npos) << warning;
        }
    }
    EXPECT_EQ(Pe32StartLimit, 1879048192u);
    EXPECT_EQ(Pe32PlusStartLimit, 2147483648u);

    std::string dir = NewFolder("start_limit");
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + UpdateA);
    Put(dir + "/src/a.dat", "a");
    const uint32_t between = 1900u << 20;  // past the 32-bit limit, within the 64-bit one
    struct {
        const char* stub;
        uint32_t reserved;
        const char* figure;  // in the warning; null: no warning
    } builds[] = {
        {"stub_plain.exe", 0, nullptr},
        {"stub_plain.exe", between, "past the 1879048192 bytes (1792 MiB) that Windows starts a 32-bit program with"},
        {"stub64.exe", between, nullptr},
        {"stub64.exe", 2100u << 20, "past the 2147483648 bytes (2048 MiB) that Windows starts a 64-bit program with"},
    };
    for (const auto& b : builds) {
        SCOPED_TRACE(std::string(b.stub) + " + " + std::to_string(b.reserved));
        std::string stub = dir + "/stub.exe", exe = dir + "/out.exe";
        Bytes bytes = Read(Fixture(b.stub));
        if (b.reserved)
            bytes = WithReservedSection(bytes, b.reserved);
        Put(stub, std::string(bytes.begin(), bytes.end()));
        BuildOptions o = Options(dir + "/src", exe);
        o.stub = stub;
        Outcome r = Build(o);
        ASSERT_EQ(r.exit, BuildExitOk) << r.err;
        Bytes built = Read(exe);
        uint32_t imageSize = U32At(built, U32At(built, 0x3C) + 24 + 56);
        EXPECT_GT(imageSize, b.reserved);
        if (!b.figure) {
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_EQ(r.err, "fa2 build: " + exe + ": warning: the updater takes " + std::to_string(imageSize) +
                             " bytes in memory, " + b.figure +
                             (b.stub == std::string("stub64.exe") ? "" : ", on 32-bit Windows and under WOW64") +
                             ": it would not start (error 8, not enough memory); split the update\n");
        EXPECT_NE(r.out.find("warnings    1 (see above)"), std::string::npos) << r.out;
    }
}

// Where the updater goes is checked before anything else: a bad output costs no packing, leaves nothing behind,
// and is the one line shown (the UPDATE.INI here has a problem of its own, which is not reached).
TEST(Build, OutputIsCheckedBeforeAnyWork)
{
    std::string dir = NewFolder("output_place");
    Put(dir + "/src/UPDATE.INI", "[SETUP]\r\nCompanyName=c\r\n" + std::string(UpdateA));
    Put(dir + "/src/a.dat", "a");
    fs::create_directories(dir + "/src/sub");
    fs::create_directories(dir + "/outdir");
    struct OutputCase {
        const char* output;
        const char* line;
    } cases[] = {
        {"missing/out.exe", "{dir}/missing/out.exe: error: its folder {dir}/missing does not exist; make it first"},
        {"src/out.exe", "{dir}/src/out.exe: error: lies inside the source folder {dir}/src, which is what gets "
                        "packed; write it elsewhere"},
        {"src/sub/../deeper.exe", "{dir}/src/sub/../deeper.exe: error: lies inside the source folder {dir}/src, "
                                  "which is what gets packed; write it elsewhere"},
        {"outdir", "{dir}/outdir: error: is a folder; give the updater's file name"},
    };
    auto tree = [&dir]() {
        std::vector<std::string> paths;
        for (const auto& item : fs::recursive_directory_iterator(dir))
            paths.push_back(item.path().string());
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    std::vector<std::string> before = tree();
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.output);
        Outcome r = Build(Options(dir + "/src", dir + "/" + c.output));
        EXPECT_EQ(r.exit, BuildExitUsage);
        EXPECT_EQ(r.err, "fa2 build: " + Replace(c.line, "{dir}", dir) + "\n");
        EXPECT_EQ(tree(), before);
    }
    // Beside the source folder (a prefix of its name, but outside it) is fine.
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + UpdateA);
    EXPECT_EQ(Build(Options(dir + "/src", dir + "/src2.exe")).exit, BuildExitOk);
}

// A build that fails, at any step, leaves an updater already at the output as it was and no temporary file.
TEST(Build, AFailedBuildLeavesTheOldUpdaterAndNoTemporaryFiles)
{
    std::string dir = NewFolder("keeps_old");
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + UpdateA);
    Put(dir + "/src/a.dat", "first");
    std::string exe = dir + "/out/u.exe";
    fs::create_directories(dir + "/out");
    ASSERT_EQ(Build(Options(dir + "/src", exe)).exit, BuildExitOk);
    Bytes first = Read(exe);
    Bytes plain = Read(Fixture("stub_plain.exe"));
    Put(dir + "/cut.exe", std::string(plain.begin(), plain.begin() + 2000));

    Put(dir + "/src/a.dat", "second");
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + "[UPDATE]\r\nUpdateFile00=gone.dat\r\n");
    EXPECT_EQ(Build(Options(dir + "/src", exe)).exit, BuildExitInvalid);
    EXPECT_TRUE(Read(exe) == first);
    Put(dir + "/src/UPDATE.INI", std::string(SetupOk) + UpdateA);
    BuildOptions late = Options(dir + "/src", exe);
    late.stub = dir + "/cut.exe";  // refused only when the image is written, after the packing
    Outcome r = Build(late);
    EXPECT_EQ(r.exit, BuildExitFailed) << r.err;
    EXPECT_TRUE(Read(exe) == first);
    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(dir + "/out"))
        left.push_back(item.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"u.exe"});

    ASSERT_EQ(Build(Options(dir + "/src", exe)).exit, BuildExitOk);
    EXPECT_FALSE(Read(exe) == first);
}

TEST(Build, CommandLine)
{
    std::string dir = NewFolder("args");
    EXPECT_EQ(RunBuild({dir}), BuildExitUsage);
    EXPECT_EQ(RunBuild({dir, "-o", dir + ".exe", "--fast", "--best"}), BuildExitUsage);
    EXPECT_EQ(RunBuild({dir, "-o"}), BuildExitUsage);
    EXPECT_EQ(RunBuild({dir, "-o", dir + ".exe", "--bogus"}), BuildExitUsage);
    EXPECT_EQ(RunBuild({dir + "/missing", "-o", dir + ".exe", "--stub", Fixture("stub_plain.exe")}), BuildExitFailed);
}

TEST(Build, SourceDateEpoch)
{
    struct {
        const char* text;
        int ok;
        uint64_t fileTime;
    } cases[] = {
        {"0", 1, 116444736000000000ull},
        {"1700000000", 1, 116444736000000000ull + 1700000000ull * 10000000ull},
        {"", 0, 0},
        {"-5", 0, 0},
        {" 12", 0, 0},
        {"1e9", 0, 0},
        {"12abc", 0, 0},
        {"9999999999999999999", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t value = 77;
        EXPECT_EQ(ParseSourceDateEpoch(c.text, &value), c.ok);
        EXPECT_EQ(value, c.ok ? c.fileTime : 77u);
    }
}

TEST(Build, EntryNamesOfUpdateItems)
{
    struct {
        const char* value;
        const char* entry;
    } cases[] = {
        {"file.dat", "file.dat"},
        {"d,file.dat", "file.dat"},
        {"U,sub\\deeper\\File.DAT", "File.DAT"},
        {"1,u,sub\\file.dat", "file.dat"},
        {"2,voice.dat", "voice.dat"},
        {"12,x.dat", "12"},
        {"u ,x.dat", "u "},
        {"  o , y", "o "},
        {"sub/slash.dat", "sub/slash.dat"},
        {"ソフト\\表示.txt", "表示.txt"},     // 表 and ソ end in byte 5C, which is no separator there
        {"表\\", ""},
        {"2:disk.dat", "disk.dat"},
        {"u,,x.dat", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        int cut = 1;
        EXPECT_EQ(UpdateItemEntryName(c.value, &cut), c.entry);
        EXPECT_EQ(cut, 0);
    }
    int cut = 0;
    UpdateItemEntryName("u," + std::string(300, 'x'), &cut);
    EXPECT_EQ(cut, 1);
}

// A delta is several passes over one file (matching, compressing its body, compressing the whole file to
// compare), each restarting the encoder's counter: the line says which pass runs and never goes back.
TEST(BuildProgressLine, ADeltasPassesOnlyMoveItForward)
{
    BuildProgress progress;
    StartProgress(&progress, stderr, ProgressNone);
    ProgressPhase(&progress, "packing", 2, 1000);
    ProgressFile(&progress, "game.pak");
    ProgressCompressing(&progress, 200);
    struct Step {
        const char* step;
        size_t encoded;     // the encoder's counter
        const char* shown;  // the percentage on the line
    } steps[] = {
        {"reading the old file, matching", 300, "(50%)"},
        {"compressing the delta", 50, "(50%)"},    // a new pass starts its counter at 0
        {"compressing the delta", 400, "(60%)"},
        {"compressing the whole file to compare", 10, "(60%)"},
        {"compressing the whole file to compare", 5000, "(100%)"},  // never past the total
    };
    for (const Step& s : steps) {
        ProgressStep(&progress, s.step);
        EncodeBlockProgress = s.encoded;
        std::string line = ProgressLine(&progress);
        EXPECT_NE(line.find(s.shown), std::string::npos) << line;
        EXPECT_NE(line.find(std::string("game.pak: ") + s.step), std::string::npos) << line;
    }
    ProgressDone(&progress, 1, 1000);
    std::string line = ProgressLine(&progress);
    EXPECT_NE(line.find("(100%)"), std::string::npos) << line;
    EXPECT_EQ(line.find(": compressing"), std::string::npos) << "the step ends with its entry: " << line;
    EncodeBlockProgress = 0;
}

}  // namespace
