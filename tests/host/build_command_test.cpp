// fa2 build from folders made here and from samples/update, with the stubs of pe_fixtures/.
// (This file is compiled with a cp932 execution character set: plain Japanese literals are cp932 bytes, as
// UPDATE.INI holds them; u8 literals are UTF-8, as file names on Linux and the tool's messages are.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive_reader.h"
#include "build_command.h"
#include "file_io.h"
#include "pe_resources.h"

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
    o.progress = 0;
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
                     "fa2 build: 1 error, 0 warnings; nothing written"}},
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
                    {"fa2 build: {dir}/a.dat: error: has the same entry name as {dir}/sub/A.DAT (entries are named "
                     "by the bare file name, letter case ignored)"}},
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
                    BuildExitOk,
                    {"fa2 build: {ini}:9: warning: UpdateFile02 is never read: the updater stops at UpdateFile01, "
                     "which is missing or empty",
                     "fa2 build: {ini}:10: warning: UpdateFile16 is never read: the updater reads UpdateFile00 to "
                     "UpdateFile15",
                     "fa2 build: {ini}:11: warning: UpdateFile3 is never read: the updater reads UpdateFile00 to "
                     "UpdateFile15",
                     "fa2 build: {ini}:12: warning: UpdateFile00 is given again; only the first, on line 7, is read",
                     "fa2 build: {ini}:13: warning: CopyFile01 is never read: the updater stops at CopyFile00, which "
                     "is missing or empty"}},
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
                    {{"a.dat", "a"}, {"extra.dat", "x"}},
                    BuildExitOk,
                    {"fa2 build: {dir}/extra.dat: warning: no item of UPDATE.INI names this file; it is packed all "
                     "the same"}},
        ProblemCase{"bom", "\xEF\xBB\xBF[SETUP]\r\nCompanyName=c\r\n", {{"a.dat", "a"}}, BuildExitInvalid,
                    {"fa2 build: {ini}: error: starts with a Unicode byte-order mark; save it as Shift-JIS (cp932) "
                     "without one, or every Japanese value reads as '?'"}},
        ProblemCase{"no_items", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nRequiredDiskSpace=5\r\nUpdateFile01=a.dat\r\n",
                    {{"a.dat", "a"}},
                    BuildExitInvalid,
                    {"fa2 build: {ini}: error: [UPDATE] has neither UpdateFile00 nor CopyFile00: the updater stops "
                     "with \"No 'UpdateFileXX' and 'CopyFileXX'\""}},
        ProblemCase{"no_cp932_name", "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=c\r\nGameDir=d\r\n[UPDATE]\r\nUpdateFile00=a.dat\r\n",
                    {{"a.dat", "a"}, {u8"\U0001F600.dat", "x"}},
                    BuildExitInvalid,
                    {u8"fa2 build: {dir}/\U0001F600.dat: error: the file name has no Shift-JIS (cp932) form, so the "
                     u8"updater cannot name it"}},
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
                    {"fa2 build: {ini}:6: warning: [SETUP] CompanyNme is not a key the updater reads",
                     "fa2 build: {ini}:9: error: UpdateFile01 names \"b.dat\", which is not in the folder",
                     "fa2 build: {ini}:10: error: UpdateFile02 names no file",
                     "fa2 build: 2 errors, 1 warning; nothing written"}}),
    [](const ::testing::TestParamInfo<ProblemCase>& info) { return std::string(info.param.name); });

// The sample is the publisher's model: it must build without a single warning, and every entry must come back.
class SampleBuild : public ::testing::TestWithParam<const char*> {};

TEST_P(SampleBuild, PacksEveryFileAndKeepsTheStub)
{
    std::string exe = NewFolder("sample_out") + "/Sample.exe";
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

    // The stub's own resources are all still there, byte for byte; an older payload is gone.
    Bytes stub = Read(o.stub), built = Read(exe);
    std::vector<PeResource> before, after;
    std::string error;
    ASSERT_TRUE(ListPeResources(stub.data(), stub.size(), &before, &error));
    ASSERT_TRUE(ListPeResources(built.data(), built.size(), &after, &error));
    int kept = 0;
    for (const PeResource& r : before) {
        int isPayload = r.type.isName && r.type.name == u"UPDATE" && r.name.id == 102 && !r.name.isName;
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
    EXPECT_EQ(after.size(), before.size() + 1 - (GetParam() == std::string("stub_update.exe") ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Stubs, SampleBuild, ::testing::Values("stub_plain.exe", "stub_update.exe"));

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
    EXPECT_EQ(LoadedTable(lzma)->header.flags, ArchiveFlagTableLzma);
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
    EXPECT_EQ(r.err, "fa2 build: " + dir + "/sub/loop: warning: a link to a folder; left out\n");
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

}  // namespace
