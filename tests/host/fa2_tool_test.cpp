#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <csignal>
#include <cerrno>

#include "archive/archive_format.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "file_io.h"
#include "lzma_encoder.h"
#include "pe_resources.h"
#include "support/crc32.h"
#include "support/sha256.h"

#ifndef FA2_EXE
#error "FA2_EXE must name the built fa2 program"
#endif

namespace {

namespace fs = std::filesystem;
typedef std::vector<unsigned char> Bytes;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class Fa2Tool : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/fa2_tool_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    // Runs fa2 with the arguments (already shell-quoted where needed).
    Result Run(const std::string& args) const
    {
        std::string command = std::string(FA2_RUNNER) + "'" + FA2_EXE + "' " + args + " >'" + Path(".out") + "' 2>'" +
                              Path(".err") + "'";
        int raw = std::system(command.c_str());
        Result result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = ReadText(Path(".out"));
        result.err = ReadText(Path(".err"));
        return result;
    }

    static std::string ReadText(const std::string& path)
    {
        Bytes bytes;
        std::string error;
        if (!ReadWholeFile(path, &bytes, &error))
            return std::string();
        return std::string(bytes.begin(), bytes.end());
    }

    static void WriteFile(const std::string& path, const Bytes& bytes)
    {
        std::string error;
        ASSERT_EQ(WriteWholeFile(path, bytes.data(), bytes.size(), &error), 1) << error;
    }

    static Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

    static Bytes ReadBytes(const std::string& path)
    {
        Bytes bytes;
        std::string error;
        EXPECT_EQ(ReadWholeFile(path, &bytes, &error), 1) << error;
        return bytes;
    }

    static void SetTime(const std::string& path, int64_t seconds, long nanoseconds)
    {
        struct timespec times[2];
        times[0].tv_sec = (time_t)seconds;
        times[0].tv_nsec = nanoseconds;
        times[1] = times[0];
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    static struct timespec MTime(const std::string& path)
    {
        struct stat info;
        memset(&info, 0, sizeof info);
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info.st_mtim;
    }

    // An archive of stored entries named as given, each holding "data of NAME".
    static void WriteNamedEntries(const std::string& path, const std::vector<const char*>& names)
    {
        std::vector<WriterEntry> entries;
        for (const char* name : names) {
            WriterEntry entry;
            entry.name = name;
            entry.data = Text(std::string("data of ") + name);
            entry.fileTime = 0;
            entry.storage = PackStore;
            entry.scramble = 0;
            entries.push_back(entry);
        }
        WriterOptions options = {PackStore, EncodeDefault};
        Bytes image;
        std::string error;
        ASSERT_EQ(WriteArchive(entries, options, &image, &error), 1) << error;
        WriteFile(path, image);
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream stream(text);
        std::string line;
        while (std::getline(stream, line))
            lines.push_back(line);
        return lines;
    }

    // A folder of typical update files; a.txt gets a known time with a fraction of a second.
    void MakeSource(const std::string& folder)
    {
        fs::create_directories(folder + "/sub");
        WriteFile(folder + "/UPDATE.INI", Text("[SETUP]\r\nCompanyName=Q\r\n"));
        WriteFile(folder + "/a.txt", Text(std::string(500, 'a') + "\n"));
        std::mt19937 random(5);
        Bytes noise(3000);
        for (unsigned char& b : noise)
            b = (unsigned char)random();
        WriteFile(folder + "/rand.bin", noise);
        WriteFile(folder + u8"/表示.txt", Text("x"));
        WriteFile(folder + "/sub/inner.txt", Text("not packed"));
        SetTime(folder + "/a.txt", 1588748889, 500000000);  // 2020-05-06T07:08:09.5Z
    }

    // The project's sample update built into the mingw-linked fixture stub, with the options given.
    Result BuildSample(const std::string& exe, const std::string& options)
    {
        return Run("build " + options + " '" + SourceRoot() + "/samples/update' -o '" + exe + "' --stub '" +
                   SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe'");
    }

    static std::string SourceRoot()
    {
        std::string here = __FILE__;
        return here.substr(0, here.rfind("/tests/host/"));
    }

    static int HaveProgram(const char* name)
    {
        return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
    }

    std::string dir;
};

// Runs a command in a child of its own and gives its exit status and peak resident memory (kB).
int RunMeasured(const std::string& command, long* peakKb)
{
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    wait4(child, &status, 0, &usage);
    *peakKb = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Fa2Tool, PackListExtractRoundTrip)
{
    MakeSource(Path("src"));
    Result pack = Run("pack '" + Path("src") + "' -o '" + Path("t.fa2") + "'");
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_NE(pack.err.find("sub: skipped"), std::string::npos) << pack.err;

    Result list = Run("list '" + Path("t.fa2") + "'");
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> lines = Lines(list.out);
    ASSERT_EQ(lines.size(), 4u) << list.out;
    // Sorted bytewise: upper case first, the cp932 name last.
    EXPECT_NE(lines[0].find(" UPDATE.INI"), std::string::npos);
    EXPECT_NE(lines[1].find("501"), std::string::npos);
    EXPECT_NE(lines[1].find(" c- 2020-05-06T07:08:09.5000000Z a.txt"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("3000         3000 -- "), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(u8" 表示.txt"), std::string::npos) << lines[3];

    Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out/deeper") + "'");
    ASSERT_EQ(extract.status, 0) << extract.err;
    for (const char* name : {"UPDATE.INI", "a.txt", "rand.bin", u8"表示.txt"}) {
        std::string source = Path("src/") + name, copy = Path("out/deeper/") + name;
        EXPECT_EQ(ReadBytes(copy), ReadBytes(source)) << name;
        // FILETIME keeps 100 ns: the source's nanoseconds are cut to that step.
        struct timespec a = MTime(source), b = MTime(copy);
        EXPECT_EQ(b.tv_sec, a.tv_sec) << name;
        EXPECT_EQ(b.tv_nsec, a.tv_nsec / 100 * 100) << name;
    }
    EXPECT_FALSE(fs::exists(Path("out/deeper/inner.txt")));

    Result verify = Run("verify '" + Path("t.fa2") + "'");
    EXPECT_EQ(verify.status, 3) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "4 entries decode, but it carries no checksums (resource UPDATE/103): a changed byte may "
                          "have gone unseen\n");
}

TEST_F(Fa2Tool, PackOptionsShowInTheRecords)
{
    MakeSource(Path("src"));
    struct Case {
        const char* options;
        const char* marksA;     // marks of the compressible a.txt
        const char* marksRand;  // marks of the incompressible rand.bin
        int tableFlags;
    } cases[] = {
        {"", "c-", "--", 1},
        {"--store", "--", "--", 0},
        {"--scramble", "cs", "-s", 1},
        {"--fast --scramble", "cs", "-s", 1},
        {"--best", "c-", "--", 1},
        {"--codec fa2", "c-", "--", 1},
        {"--codec lzma", "l-", "--", 2},
        {"--codec=lzma --scramble --best", "ls", "-s", 2},
        {"--codec lzma --store", "--", "--", 0},
    };
    for (const Case& c : cases) {
        std::string archive = Path("t.fa2");
        Result pack = Run("pack " + std::string(c.options) + " '" + Path("src") + "' --output '" + archive + "'");
        ASSERT_EQ(pack.status, 0) << c.options << pack.err;
        Bytes image = ReadBytes(archive);
        ASSERT_GE(image.size(), 16u);
        EXPECT_EQ(image[4], c.tableFlags) << c.options;
        std::vector<std::string> lines = Lines(Run("list '" + archive + "'").out);
        ASSERT_EQ(lines.size(), 4u) << c.options;
        EXPECT_NE(lines[1].find(std::string(" ") + c.marksA + " "), std::string::npos) << c.options << lines[1];
        EXPECT_NE(lines[2].find(std::string(" ") + c.marksRand + " "), std::string::npos) << c.options << lines[2];
        Result extract = Run("extract '" + archive + "' '" + Path("out") + "'");
        ASSERT_EQ(extract.status, 0) << c.options << extract.err;
        EXPECT_EQ(ReadBytes(Path("out/a.txt")), ReadBytes(Path("src/a.txt"))) << c.options;
        EXPECT_EQ(ReadBytes(Path("out/rand.bin")), ReadBytes(Path("src/rand.bin"))) << c.options;
        fs::remove_all(Path("out"));
    }
    EXPECT_EQ(Run("pack --store --best '" + Path("src") + "' -o '" + Path("x.fa2") + "'").status, 2);
    Result unknown = Run("pack --codec zstd '" + Path("src") + "' -o '" + Path("x.fa2") + "'");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown codec zstd (codecs: fa2, lzma)"), std::string::npos) << unknown.err;
    EXPECT_NE(Run("pack --help").out.find("--codec NAME       compression method: fa2 (the default) or lzma"),
              std::string::npos);
    EXPECT_EQ(Run("pack '" + Path("src") + "'").status, 2) << "no output named";
    EXPECT_FALSE(fs::exists(Path("x.fa2")));
}

TEST_F(Fa2Tool, ExtractNamedEntriesAsTheUpdaterFindsThem)
{
    MakeSource(Path("src"));
    ASSERT_EQ(Run("pack '" + Path("src") + "' -o '" + Path("t.fa2") + "'").status, 0);
    Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out") + u8"' update.ini 表示.TXT missing.dat");
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(Lines(extract.err).back(), "fa2 extract: missing.dat: no such entry");
    EXPECT_EQ(ReadBytes(Path("out/UPDATE.INI")), ReadBytes(Path("src/UPDATE.INI")));
    EXPECT_EQ(ReadBytes(Path(u8"out/表示.txt")), Text("x"));
    EXPECT_FALSE(fs::exists(Path("out/a.txt")));
}

TEST_F(Fa2Tool, ExtractRefusesUnsafeNamesAndSkipsShadowedEntries)
{
    WriteNamedEntries(Path("t.fa2"), {"../evil.txt", "sub\\x.txt", "C:x.txt", "..", "ok.txt", "Dup.txt", "DUP.TXT"});

    fs::create_directories(Path("out"));
    Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out") + "'");
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(Lines(extract.err).size(), 6u) << "five, and that there are no checksums\n" << extract.err;
    EXPECT_NE(extract.err.find("DUP.TXT: skipped"), std::string::npos) << extract.err;
    EXPECT_FALSE(fs::exists(Path("evil.txt")));
    std::vector<std::string> written;
    for (const auto& item : fs::directory_iterator(Path("out")))
        written.push_back(item.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"Dup.txt", "ok.txt"}));
    EXPECT_EQ(ReadBytes(Path("out/Dup.txt")), Text("data of Dup.txt"));
}

// No entry is lost to another: the scratch file never takes an entry's name nor a file already in the folder,
// and two entries whose names become the same file name (two cp932 codes of one character) are not both written.
TEST_F(Fa2Tool, ExtractNeverWritesOneEntryOverAnother)
{
    struct Case {
        const char* what;
        std::vector<const char*> names;
        int status;
        std::vector<std::pair<std::string, std::string>> files;  // name in the folder, bytes
        const char* said;
    } cases[] = {
        {"an entry named like a scratch file", {"x.fa2-extract.tmp", "x", ".fa2-extract-1.tmp"}, 0,
         {{"x.fa2-extract.tmp", "data of x.fa2-extract.tmp"},
          {"x", "data of x"},
          {".fa2-extract-1.tmp", "data of .fa2-extract-1.tmp"},
          {".fa2-extract-0.tmp", "left here before"}},
         ""},
        {"two codes of one character", {"\x87\x54.txt", "\xFA\x4A.txt"}, 1,
         {{u8"\u2160.txt", "data of \x87\x54.txt"}, {".fa2-extract-0.tmp", "left here before"}},
         u8"fa2 extract: \u2160.txt: not extracted: the entry \u2160.txt was written under the same file name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteNamedEntries(Path("t.fa2"), c.names);
        fs::create_directories(Path("out"));
        WriteFile(Path("out/.fa2-extract-0.tmp"), Text("left here before"));
        Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out") + "'");
        EXPECT_EQ(extract.status, c.status) << extract.err;
        EXPECT_NE(extract.err.find(c.said), std::string::npos) << extract.err;
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(Path("out")))
            names.push_back(item.path().filename().u8string());
        EXPECT_EQ(names.size(), c.files.size()) << "no file more, none missing, no scratch file left";
        for (const auto& f : c.files)
            EXPECT_EQ(ReadBytes(Path("out/" + f.first)), Text(f.second)) << f.first;
        fs::remove_all(Path("out"));
    }
}

TEST_F(Fa2Tool, PackRefusesNamesTheUpdaterCouldNotTellApart)
{
    fs::create_directories(Path("src"));
    WriteFile(Path("src/a.txt"), Text("1"));
    WriteFile(Path("src/A.TXT"), Text("2"));
    Result pack = Run("pack '" + Path("src") + "' -o '" + Path("t.fa2") + "'");
    EXPECT_EQ(pack.status, 1);
    EXPECT_NE(pack.err.find("letter case"), std::string::npos) << pack.err;
    EXPECT_FALSE(fs::exists(Path("t.fa2")));
}

TEST_F(Fa2Tool, VerifyReportsEachDamagedEntry)
{
    MakeSource(Path("src"));
    ASSERT_EQ(Run("pack '" + Path("src") + "' -o '" + Path("t.fa2") + "'").status, 0);
    Bytes image = ReadBytes(Path("t.fa2"));
    ArchiveHeader header;
    ReadArchiveHeader(image.data(), &header);
    ASSERT_EQ(header.flags & ArchiveFlagTableCompressed, 1u);
    uint32_t blockSize;
    ASSERT_TRUE(ArchiveTableBlockSize(header.entryCount, &blockSize));
    Bytes block(blockSize);
    ArchiveTable* table = reinterpret_cast<ArchiveTable*>(block.data());
    ASSERT_TRUE(FillArchiveTable(table, blockSize, image.data(), image.size()));
    const ArchiveEntry* entry;
    uint64_t offset;
    ASSERT_TRUE(FindArchiveEntry(table, "a.txt", &entry, &offset));
    ASSERT_EQ(entry->storage, EntryStorageCompressed);

    Bytes damaged = image;
    damaged[offset] ^= 0xFF;  // its first flag word
    WriteFile(Path("bad.fa2"), damaged);
    Result verify = Run("verify '" + Path("bad.fa2") + "'");
    EXPECT_EQ(verify.status, 1);
    EXPECT_EQ(verify.out, "damaged: a.txt: malformed compressed data\n1 of 4 entries damaged\n");

    // Cutting the archive breaks its compressed table: every reading command refuses it in one line.
    WriteFile(Path("cut.fa2"), Bytes(image.begin(), image.end() - 1));
    for (const char* command : {"verify", "list"}) {
        Result result = Run(std::string(command) + " '" + Path("cut.fa2") + "'");
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_NE(result.err.find("damaged entry table"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << command;
    }
    Result extract = Run("extract '" + Path("cut.fa2") + "' '" + Path("out") + "'");
    EXPECT_EQ(extract.status, 1);
    EXPECT_FALSE(fs::exists(Path("out/a.txt")));
}

TEST_F(Fa2Tool, DecodeBlock)
{
    // Literals a, b, c, then a copy of 6 from distance 3, then the end code.
    WriteFile(Path("block"), Bytes{0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF});
    Result ok = Run("decode-block --size 9 '" + Path("block") + "' '" + Path("out") + "'");
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ReadBytes(Path("out")), Text("abcabcabc"));

    struct Case {
        const char* args;
        int status;
    } cases[] = {
        {"--size 8", 1}, {"--size 10", 1}, {"--size=4294967295", 1}, {"--size abc", 2},
        {"--size 4294967296", 2}, {"--size -1", 2}, {"", 2},
    };
    for (const Case& c : cases) {
        fs::remove(Path("bad"));
        Result result = Run(std::string("decode-block ") + c.args + " '" + Path("block") + "' '" + Path("bad") + "'");
        EXPECT_EQ(result.status, c.status) << c.args;
        EXPECT_FALSE(result.err.empty()) << c.args;
        EXPECT_FALSE(fs::exists(Path("bad"))) << c.args;
    }
}

TEST_F(Fa2Tool, RefusesInputThatIsNoArchive)
{
    WriteFile(Path("junk"), Text("this is not an archive at all"));
    WriteFile(Path("short"), Text("FA2"));
    struct Case {
        const char* file;
        const char* message;
    } cases[] = {
        {"junk", "not an FA2 archive"},
        {"short", "too short"},
        {"missing", "No such file"},
    };
    for (const Case& c : cases) {
        Result result = Run("list '" + Path(c.file) + "'");
        EXPECT_EQ(result.status, 1) << c.file;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(Lines(result.err).size(), 1u) << result.err;
    }
}

TEST_F(Fa2Tool, UsageAndHelp)
{
    for (const char* command : {"list", "extract", "verify", "decode-block", "pack"}) {
        Result help = Run(std::string(command) + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: fa2 ") + command, 0), 0u) << help.out;
        Result bare = Run(command);
        EXPECT_EQ(bare.status, 2) << command;
        EXPECT_NE(bare.err.find("usage"), std::string::npos) << command;
    }
    EXPECT_EQ(Run("--help").status, 0);
    EXPECT_EQ(Run("").status, 2);
    Result unknown = Run("frobnicate");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(Lines(unknown.err).size(), 1u);
    EXPECT_EQ(Run("list --bogus x").status, 2);
}

TEST(Fa2FileTimes, IsoFormatAndUnixConversions)
{
    const uint64_t unixEpoch = 116444736000000000ull;
    struct Case {
        uint64_t fileTime;
        const char* iso;
    } cases[] = {
        {0, "1601-01-01T00:00:00Z"},
        {unixEpoch, "1970-01-01T00:00:00Z"},
        {unixEpoch - 1, "1969-12-31T23:59:59.9999999Z"},
        {unixEpoch + 1709164800ull * 10000000ull, "2024-02-29T00:00:00Z"},
        {unixEpoch + 951782400ull * 10000000ull + 5, "2000-02-29T00:00:00.0000005Z"},
        {unixEpoch + 4107542399ull * 10000000ull, "2100-02-28T23:59:59Z"},
        {0xFFFFFFFFFFFFFFFFull, "60056-05-28T05:36:10.9551615Z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatFileTimeIso(c.fileTime), c.iso);

    int64_t seconds;
    uint32_t nanoseconds;
    UnixFromFileTime(unixEpoch - 1, &seconds, &nanoseconds);
    EXPECT_EQ(seconds, -1);
    EXPECT_EQ(nanoseconds, 999999900u);
    EXPECT_EQ(FileTimeFromUnix(-1, 999999900u), unixEpoch - 1);
    EXPECT_EQ(FileTimeFromUnix(0, 0), unixEpoch);
    EXPECT_EQ(FileTimeFromUnix(-11644473601ll, 0), 0u) << "before 1601";
    EXPECT_EQ(FileTimeFromUnix(INT64_MAX, 0), UINT64_MAX);
}

TEST(Fa2Text, Cp932NamesConvertBothWays)
{
    std::string utf8, cp932;
    ASSERT_EQ(Cp932ToUtf8("\x95\x5c\x8e\xa6.txt", &utf8), 1);
    EXPECT_EQ(utf8, u8"表示.txt");
    ASSERT_EQ(Utf8ToCp932(u8"ソフト", &cp932), 1);
    EXPECT_EQ(cp932, "\x83\x5c\x83\x74\x83\x67");
    EXPECT_EQ(Utf8ToCp932("emoji \xF0\x9F\x98\x80", &cp932), 0);
    EXPECT_EQ(Cp932ToUtf8("a\x83", &utf8), 0) << "lone lead byte";
    EXPECT_EQ(Cp932ForDisplay("a\x83", 2), "a\\x83");
    EXPECT_EQ(Cp932ForDisplay("\x83\x41\xff", 3), u8"ア\\xFF");
}

}  // namespace

namespace {

// Where each entry's stored bytes, the table and the sums lie in a built updater.
struct BuiltLayout {
    size_t payloadAt;
    size_t sumsAt;
    std::vector<std::string> names;
    std::vector<uint64_t> dataAt;  // file offsets of the entries' stored bytes
    std::vector<uint32_t> storedSizes;
    size_t tableAt;
};

int ReadLayout(const Bytes& exe, BuiltLayout* layout)
{
    size_t length, sumsLength;
    std::string error;
    if (!FindPeResource(exe.data(), exe.size(), "UPDATE", 102, &layout->payloadAt, &length, &error) ||
        !FindPeResource(exe.data(), exe.size(), "UPDATE", 103, &layout->sumsAt, &sumsLength, &error))
        return 0;
    Bytes payload(exe.begin() + layout->payloadAt, exe.begin() + layout->payloadAt + length);
    LoadedArchive archive;
    if (!OpenLoadedArchive(&payload, &archive, &error))
        return 0;
    for (uint32_t i = 0; i < LoadedEntryCount(archive); ++i) {
        layout->names.push_back(EntryName(LoadedEntry(archive, i)));
        layout->dataAt.push_back(layout->payloadAt + archive.dataOffsets[i]);
        layout->storedSizes.push_back(LoadedEntry(archive, i)->storedSize);
    }
    layout->tableAt = layout->payloadAt + LoadedTable(archive)->header.tableOffset;
    return 1;
}

// The sample updater with a byte of voice.dat flipped: the entry is stored, so it decodes whatever its bytes and
// only its checksum can tell.
int FlipAByteOfVoice(Bytes* exe, BuiltLayout* layout)
{
    if (!ReadLayout(*exe, layout))
        return 0;
    size_t voice = std::find(layout->names.begin(), layout->names.end(), "voice.dat") - layout->names.begin();
    if (voice >= layout->names.size())
        return 0;
    (*exe)[layout->dataAt[voice] + 7] ^= 0x20;
    return 1;
}

// A flipped byte anywhere in the payload or its sums is found by fa2 verify: in a stored entry (which decodes
// whatever its bytes), a compressed one, scrambled ones of both kinds, the table, and the sums themselves.
TEST_F(Fa2Tool, VerifyHoldsEveryEntryToItsChecksum)
{
    for (const char* options : {"", "--store", "--scramble", "--store --scramble"}) {
        SCOPED_TRACE(options);
        std::string exe = Path("u.exe");
        Result build = BuildSample(exe, options);
        ASSERT_EQ(build.status, 0) << build.err;
        Result intact = Run("verify '" + exe + "'");
        EXPECT_EQ(intact.status, 0) << intact.out;
        EXPECT_EQ(intact.out, "8 entries intact (checksums match)\n");

        Bytes good = ReadBytes(exe);
        BuiltLayout layout;
        ASSERT_TRUE(ReadLayout(good, &layout));
        for (size_t i = 0; i < layout.names.size(); ++i) {
            if (layout.storedSizes[i] == 0)
                continue;
            SCOPED_TRACE(layout.names[i]);
            Bytes bad = good;
            bad[layout.dataAt[i] + layout.storedSizes[i] / 2] ^= 0x10;
            WriteFile(Path("bad.exe"), bad);
            Result verify = Run("verify '" + Path("bad.exe") + "'");
            EXPECT_EQ(verify.status, 1);
            std::string shown;
            Cp932ToUtf8(layout.names[i], &shown);
            EXPECT_EQ(verify.out.rfind("damaged: " + shown + ": ", 0), 0u) << verify.out;
            EXPECT_NE(verify.out.find("1 of 8 entries damaged"), std::string::npos) << verify.out;
        }
        struct Place {
            const char* what;
            size_t at;
        } places[] = {{"the table", layout.tableAt + 20}, {"the sums", layout.sumsAt + 30}};
        for (const Place& p : places) {
            SCOPED_TRACE(p.what);
            Bytes bad = good;
            bad[p.at] ^= 0x01;
            WriteFile(Path("bad.exe"), bad);
            Result verify = Run("verify '" + Path("bad.exe") + "'");
            EXPECT_EQ(verify.status, 1) << verify.out << verify.err;
            EXPECT_NE((verify.out + verify.err).find("damaged"), std::string::npos);
        }
    }
}

// fa2 extract holds entries to their checksums as well, and a damaged one costs no file already in the folder.
TEST_F(Fa2Tool, ExtractKeepsAFileInThePlaceOfADamagedEntry)
{
    ASSERT_EQ(BuildSample(Path("u.exe"), "").status, 0);
    Bytes exe = ReadBytes(Path("u.exe"));
    BuiltLayout layout;
    ASSERT_TRUE(FlipAByteOfVoice(&exe, &layout));
    WriteFile(Path("bad.exe"), exe);
    fs::create_directories(Path("out"));
    WriteFile(Path("out/voice.dat"), Text("the one already there"));

    Result extract = Run("extract '" + Path("bad.exe") + "' '" + Path("out") + "'");
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(extract.err, "fa2 extract: voice.dat: damaged entry: its bytes do not match the checksum\n");
    EXPECT_EQ(ReadBytes(Path("out/voice.dat")), Text("the one already there"));
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(Path("out")))
        names.push_back(item.path().filename().u8string());
    EXPECT_EQ(names.size(), 8u) << "the other seven entries, and no temporary file";
    EXPECT_EQ(ReadBytes(Path("out/scenario.dat")), ReadBytes(SourceRoot() + "/samples/update/scenario.dat"));
}

// An updater whose sums are missing, or of a later format, cannot have its entries checked: verify says so with
// a status of its own instead of "intact", and extract warns before it writes what it cannot check.
TEST_F(Fa2Tool, EntriesWithoutChecksumsAreNeverCalledIntact)
{
    ASSERT_EQ(BuildSample(Path("u.exe"), "").status, 0);
    Bytes exe = ReadBytes(Path("u.exe"));
    BuiltLayout layout;
    ASSERT_TRUE(FlipAByteOfVoice(&exe, &layout));

    Bytes laterSums = exe;  // version 2, its own sum made right again
    laterSums[layout.sumsAt + 4] = 2;
    size_t sumsLength, payloadLength, payloadAt;
    std::string error;
    ASSERT_TRUE(FindPeResource(exe.data(), exe.size(), "UPDATE", 103, &payloadAt, &sumsLength, &error));
    uint32_t own = Crc32Update(Crc32Update(0, laterSums.data() + layout.sumsAt, 20),
                               laterSums.data() + layout.sumsAt + 24, sumsLength - 24);
    memcpy(laterSums.data() + layout.sumsAt + 20, &own, 4);

    ASSERT_TRUE(FindPeResource(exe.data(), exe.size(), "UPDATE", 102, &payloadAt, &payloadLength, &error));
    Bytes stub = ReadBytes(SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe"), noSums;
    ASSERT_EQ(WritePeResource(stub.data(), stub.size(), "UPDATE", 102, 1041, exe.data() + payloadAt, payloadLength,
                              &noSums, &error),
              1)
        << error;

    struct Case {
        const char* what;
        const Bytes* image;
        int verifyStatus;
        const char* said;
    } cases[] = {
        {"sums of a later format", &laterSums, 3, "its checksums are of a later format and were not checked"},
        {"no sums", &noSums, 3, "it carries no checksums (resource UPDATE/103)"},
        {"sums", &exe, 1, "its bytes do not match the checksum"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Path("bad.exe"), *c.image);
        Result verify = Run("verify '" + Path("bad.exe") + "'");
        EXPECT_EQ(verify.status, c.verifyStatus) << verify.out;
        EXPECT_EQ(verify.out.find("intact"), std::string::npos) << verify.out;
        EXPECT_NE(verify.out.find(c.said), std::string::npos) << verify.out;
        Result extract = Run("extract '" + Path("bad.exe") + "' '" + Path("out") + "'");
        EXPECT_NE(extract.err.find(c.said), std::string::npos) << extract.err;
        if (c.verifyStatus == 3) {
            EXPECT_EQ(extract.status, 0) << extract.err;
            EXPECT_EQ(extract.err, "fa2 extract: " + Path("bad.exe") + ": warning: " + c.said +
                                       "; the files are written unchecked\n");
        }
        fs::remove_all(Path("out"));
    }
}

// Entries named like Windows devices are written nowhere, on any system; a link already in the target folder
// is never followed, so the file it points at outside stays as it was.
TEST_F(Fa2Tool, ExtractRefusesDeviceNamesAndPlantedLinks)
{
    WriteNamedEntries(Path("t.fa2"), {"NUL", "COM1", "AUX.txt", "nul.dat", "Lpt9.log", "con .txt", "trail.",
                                      "ok.txt", "linked.txt", "COM10.txt", "console.txt"});
    fs::create_directories(Path("out"));
    WriteFile(Path("outside.txt"), Text("precious"));
    fs::create_symlink(Path("outside.txt"), Path("out/linked.txt"));

    Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out") + "'");
    EXPECT_EQ(extract.status, 1);
    std::vector<std::string> lines = Lines(extract.err);
    EXPECT_EQ(lines.size(), 9u) << "eight, and that there are no checksums\n" << extract.err;
    for (const char* refused : {"NUL: ", "COM1: ", "AUX.txt: ", "nul.dat: ", "Lpt9.log: ", "con .txt: "})
        EXPECT_NE(extract.err.find(std::string("fa2 extract: ") + refused +
                                   "not extracted: the name is a Windows device (CON, NUL, AUX, PRN, COM1-9, LPT1-9)"),
                  std::string::npos)
            << refused << "\n" << extract.err;
    EXPECT_NE(extract.err.find("fa2 extract: trail.: not extracted: the name ends in a dot or a blank"),
              std::string::npos);
    EXPECT_NE(extract.err.find("fa2 extract: linked.txt: not extracted: " + Path("out/linked.txt") +
                               ": a link, a folder or a device has this name; it is not followed"),
              std::string::npos)
        << extract.err;
    EXPECT_EQ(ReadBytes(Path("outside.txt")), Text("precious"));
    EXPECT_TRUE(fs::is_symlink(Path("out/linked.txt")));
    std::vector<std::string> written;
    for (const auto& item : fs::directory_iterator(Path("out")))
        written.push_back(item.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"COM10.txt", "console.txt", "linked.txt", "ok.txt"}));
}

// A compressed table that claims millions of records over a few megabytes of junk is refused after its first
// bytes, in little memory, instead of after a block of the claimed size was taken.
TEST_F(Fa2Tool, TableClaimingMillionsOfRecordsIsRefusedInLittleMemory)
{
    const uint32_t junk = 4u << 20, claimed = 1200000;  // 336 MB of records, within what 4 MB could expand to
    ASSERT_TRUE(BlockCanDecodeTo(junk, (uint64_t)claimed * ArchiveEntrySize));
    Bytes archive(16 + junk);
    std::mt19937 random(46);
    for (size_t i = 16; i < archive.size(); ++i)
        archive[i] = (unsigned char)random();
    ArchiveHeader header = {ArchiveMagic, ArchiveFlagTableCompressed, 16, claimed};
    memcpy(archive.data(), &header, sizeof header);
    WriteFile(Path("bomb.fa2"), archive);
    for (const char* command : {"list", "verify"}) {
        SCOPED_TRACE(command);
        long peakKb = 0;
        int status = RunMeasured(std::string(FA2_RUNNER) + "'" + FA2_EXE + "' " + command + " '" + Path("bomb.fa2") + "' >'" +
                                     Path(".out") + "' 2>'" + Path(".err") + "'",
                                 &peakKb);
        EXPECT_EQ(status, 1);
        EXPECT_NE(ReadText(Path(".err")).find("damaged entry table"), std::string::npos) << ReadText(Path(".err"));
        EXPECT_LT(peakKb, 150 * 1024) << "the claimed table was taken in memory";
    }
}

// LZMA data whose header claims a dictionary of 4 GiB: a small file that decodes to a large entry or table
// would have its whole size taken as the window. Such a header is refused before anything is sized for it.
TEST_F(Fa2Tool, LzmaDictionaryPastWhatBuildWritesIsRefusedInLittleMemory)
{
    const uint32_t unpacked = ArchiveEntrySize << 20;  // 280 MiB: as an entry, or a million unnamed records
    Bytes zeros(unpacked, 0), stored;
    std::string error;
    ASSERT_EQ(EncodeLzma(zeros.data(), zeros.size(), EncodeFast, &stored, &error), 1) << error;
    zeros = Bytes();
    memset(stored.data() + 1, 0xFF, 4);
    struct Case {
        const char* what;
        int table;
    } cases[] = {{"an entry", 0}, {"the table", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes archive(16);
        ArchiveHeader header = {ArchiveMagic, 0, 0, 0};
        if (c.table) {
            header = {ArchiveMagic, ArchiveFlagTableLzma, 16, unpacked / ArchiveEntrySize};
            archive.insert(archive.end(), stored.begin(), stored.end());
        } else {
            ArchiveEntry entry;
            memset(&entry, 0, sizeof entry);
            strcpy(entry.name, "zeros.dat");
            entry.storage = EntryStorageLzma;
            entry.unpackedSize = unpacked;
            entry.storedSize = (uint32_t)stored.size();
            archive.insert(archive.end(), stored.begin(), stored.end());
            archive.resize(16 + PaddedStoredSize(entry.storedSize));
            header = {ArchiveMagic, ArchiveFlagNewMethods, (uint32_t)archive.size(), 1};  // LZMA is read only so
            const unsigned char* record = (const unsigned char*)&entry;
            archive.insert(archive.end(), record, record + sizeof entry);
        }
        memcpy(archive.data(), &header, sizeof header);
        WriteFile(Path("bomb.fa2"), archive);
        long peakKb = 0;
        int status = RunMeasured(std::string(FA2_RUNNER) + "'" + FA2_EXE + "' verify '" + Path("bomb.fa2") + "' >'" +
                                     Path(".out") + "' 2>'" + Path(".err") + "'",
                                 &peakKb);
        EXPECT_EQ(status, 1);
        std::string said = ReadText(Path(".out")) + ReadText(Path(".err"));
        EXPECT_NE(said.find(c.table ? "damaged entry table" : "dictionary over 8 MiB"), std::string::npos) << said;
        EXPECT_LT(peakKb, 150 * 1024) << "a window of the claimed dictionary was taken";
    }
}

// A write the system refuses (here a file-size limit, as a full disk would) names the output and the system's
// reason, whether it hits the archive or the executable; never the stub.
TEST_F(Fa2Tool, AFailedWriteNamesTheOutputAndItsReason)
{
    ASSERT_EQ(BuildSample(Path("u.exe"), "").status, 0);
    Bytes exe = ReadBytes(Path("u.exe"));
    size_t payloadAt = 0, payloadLength = 0;
    std::string error;
    ASSERT_TRUE(FindPeResource(exe.data(), exe.size(), "UPDATE", 102, &payloadAt, &payloadLength, &error));
    struct Case {
        const char* what;
        uint64_t limit;
    } cases[] = {
        {"the archive", payloadLength / 2},
        {"the executable", (payloadLength + exe.size()) / 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = Path("limited.exe");
        pid_t child = fork();
        if (child == 0) {
            struct rlimit limit = {(rlim_t)c.limit, (rlim_t)c.limit};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
            std::string command = std::string(FA2_RUNNER) + "'" + FA2_EXE + "' build '" + SourceRoot() + "/samples/update' -o '" +
                                  out + "' --stub '" + SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe' 2>'" +
                                  Path(".err") + "'";
            execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        std::string err = ReadText(Path(".err"));
        EXPECT_NE(err.find("fa2 build: " + out + ": error: cannot be written: " + strerror(EFBIG) +
                           " (in the temporary files beside it)\n"),
                  std::string::npos)
            << err;
        EXPECT_EQ(err.find("stub_plain.exe"), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// A build stopped by Ctrl-C, SIGTERM or SIGHUP removes its temporary files (with --from, the delta's two as well)
// and then stops as the signal asks (the shell sees the signal, not an exit status).
TEST_F(Fa2Tool, AStoppedBuildLeavesNoTemporaryFiles)
{
    fs::copy(SourceRoot() + "/samples/update", Path("src"), fs::copy_options::recursive);
    Bytes noise(96u << 20);
    std::mt19937 random(13);
    for (size_t i = 0; i < noise.size(); i += 4) {
        uint32_t word = random();
        memcpy(&noise[i], &word, 4);
    }
    WriteFile(Path("src/voice.dat"), noise);  // long enough to be stopped in the middle
    fs::create_directories(Path("out"));
    fs::create_directories(Path("old"));
    WriteFile(Path("old/voice.dat"), Bytes(noise.begin(), noise.begin() + (1u << 20)));
    struct Case {
        int signal;
        const char* from;
    } cases[] = {{SIGINT, nullptr}, {SIGTERM, nullptr}, {SIGHUP, nullptr}, {SIGTERM, "old"}};
    for (const Case& c : cases) {
        int signal = c.signal;
        SCOPED_TRACE(std::string(strsignal(signal)) + (c.from ? " --from" : ""));
        std::string from = c.from ? Path(c.from) : "";
        std::string out = Path("out/u.exe");
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            std::string stub = SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe";
            // A cross-built fa2 runs in its emulator, in this same process (the scratch names carry its pid).
            std::string source = Path("src");
            std::vector<const char*> args;
            if (FA2_EMULATOR[0])
                args.push_back(FA2_EMULATOR);
            for (const char* arg : {FA2_EXE, "build", source.c_str(), "-o", out.c_str(), "--stub", stub.c_str()})
                args.push_back(arg);
            if (c.from) {
                args.push_back("--from");
                args.push_back(from.c_str());
            }
            args.push_back(nullptr);
            execvp(args[0], (char* const*)args.data());
            _exit(127);
        }
        std::string entry = out + ".fa2-" + std::to_string(child) + (c.from ? "-delta-packed.tmp" : "-entry.tmp");
        for (int wait = 0; wait < 3000 && !fs::exists(entry); ++wait)
            usleep(10000);
        usleep(100000);  // into the packing
        ASSERT_EQ(kill(child, signal), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        std::vector<std::string> left;
        for (const auto& item : fs::directory_iterator(Path("out")))
            left.push_back(item.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>()) << "nothing built, nothing left";
    }
}

// Without a terminal there is no redrawn line, but the last line on stderr says what was done.
TEST_F(Fa2Tool, BuildEndsWithASummaryLineWhenNotOnATerminal)
{
    Result build = BuildSample(Path("u.exe"), "--fast");
    ASSERT_EQ(build.status, 0) << build.err;
    std::vector<std::string> lines = Lines(build.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("fa2 build: packed 8 entries, 0.0 MB, in ", 0), 0u) << build.err;
    EXPECT_EQ(build.err.find('\r'), std::string::npos);
    EXPECT_EQ(build.out.rfind("Built " + Path("u.exe") + "\n", 0), 0u) << build.out;
}

// A publisher signs the built updater; the signature does not get in the way of reading it, and a rebuild
// from a signed updater drops the signature that could no longer match.
TEST_F(Fa2Tool, SignedUpdaterStillVerifiesAndARebuildDropsTheSignature)
{
    if (!HaveProgram("osslsigncode") || !HaveProgram("openssl"))
        GTEST_SKIP() << "osslsigncode or openssl is not installed (scripts/setup installs them)";
    ASSERT_EQ(BuildSample(Path("u.exe"), "").status, 0);
    std::string key = Path("key.pem"), cert = Path("cert.pem");
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -keyout '" + key + "' -out '" + cert +
                           "' -days 2 -nodes -subj '/CN=Throwaway Publisher' >/dev/null 2>&1")
                              .c_str()),
              0);
    std::string sign = "osslsigncode sign -certs '" + cert + "' -key '" + key + "' -n Update -in '" + Path("u.exe") +
                       "' -out '" + Path("signed.exe") + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    std::string check = "osslsigncode verify -CAfile '" + cert + "' '";
    EXPECT_EQ(std::system((check + Path("signed.exe") + "' >/dev/null 2>&1").c_str()), 0);
    EXPECT_GT(ReadBytes(Path("signed.exe")).size(), ReadBytes(Path("u.exe")).size());

    Result verify = Run("verify '" + Path("signed.exe") + "'");
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "8 entries intact (checksums match)\n");
    Result list = Run("list '" + Path("signed.exe") + "'");
    EXPECT_EQ(Lines(list.out).size(), 8u);

    Result rebuild = Run("build '" + SourceRoot() + "/samples/update' -o '" + Path("again.exe") + "' --stub '" +
                         Path("signed.exe") + "'");
    ASSERT_EQ(rebuild.status, 0) << rebuild.err;
    EXPECT_NE(rebuild.err.find(Path("signed.exe") + ": warning: carried a signature, which could no longer match "
                                                    "and was left out; sign the built updater"),
              std::string::npos)
        << rebuild.err;
    EXPECT_NE(std::system((check + Path("again.exe") + "' >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(Run("verify '" + Path("again.exe") + "'").status, 0);
}

}  // namespace

namespace {

// Random bytes: data no codec shrinks, so a delta only wins by finding what did not change.
std::vector<unsigned char> RandomBytes(size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (unsigned char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (unsigned char)x;
    }
    return bytes;
}

}  // namespace

// The first 8 bytes of the SHA-256 of `bytes`, as fa2 list shows them.
static std::string Sha256Start(const Bytes& bytes)
{
    unsigned char digest[Sha256Size];
    Sha256 sha;
    StartSha256(&sha);
    Sha256Update(&sha, bytes.data(), bytes.size());
    FinishSha256(&sha, digest);
    char hex[17];
    for (int i = 0; i < 8; i++)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// An update of a changed pack file with --from: a delta that lists, verifies and extracts against the old
// release, and refuses another old file; with --fallback-whole the whole file is there for it.
TEST_F(Fa2Tool, DeltaUpdateFromTheOldRelease)
{
    Bytes old = RandomBytes(2000000, 1), now = old;
    Bytes inserted = RandomBytes(30000, 2);
    now.insert(now.begin() + 700000, inserted.begin(), inserted.end());
    now.erase(now.begin() + 1500000, now.begin() + 1510000);
    for (const char* dir : {"new/data", "old/data", "other/data", "other/elsewhere", "out"})
        fs::create_directories(Path(dir));
    WriteFile(Path("new/data/game.pak"), now);
    WriteFile(Path("new/readme.txt"), Text("only in the new release\r\n"));
    WriteFile(Path("new/UPDATE.INI"), Text("[SETUP]\r\nCompanyName=Q\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=G\r\n"
                                           "[UPDATE]\r\nUpdateFile00=data\\game.pak\r\nUpdateFile01=readme.txt\r\n"));
    WriteFile(Path("old/data/game.pak"), old);
    Bytes other = old;
    other[123456] ^= 0x40;  // same size, one bit off
    WriteFile(Path("other/data/game.pak"), other);
    const std::string stub = " --stub '" + SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe'";

    for (int fallback : {0, 1}) {
        std::string exe = Path(fallback ? "whole.exe" : "delta.exe");
        Result build = Run("build '" + Path("new") + "' --from '" + Path("old") + "' -o '" + exe + "'" + stub +
                           (fallback ? " --fallback-whole" : ""));
        ASSERT_EQ(build.status, 0) << build.err;
        EXPECT_NE(build.out.find("1 deltas"), std::string::npos) << build.out;
        EXPECT_LT(fs::file_size(exe), now.size() / 10 + (fallback ? now.size() + 1000 : 0));

        Result list = Run("list '" + exe + "'");
        ASSERT_EQ(list.status, 0);
        EXPECT_NE(list.out.find(" d- "), std::string::npos) << list.out;
        EXPECT_NE(list.out.find("game.pak  [delta: old 2000000 -> new 2020000 bytes, body stored, old SHA-256 " +
                                Sha256Start(old) + "..." + std::string(fallback ? ", whole file follows]" : "]")),
                  std::string::npos)
            << list.out;

        // Without its old file a delta's bytes are held to nothing: a changed byte could go unseen.
        Result verify = Run("verify '" + exe + "'");
        EXPECT_EQ(verify.status, 3) << verify.out;
        EXPECT_NE(verify.out.find("1 delta entries checked without their old files"), std::string::npos);
        EXPECT_NE(verify.out.find(std::to_string(fallback ? 4 : 3) + " entries decode, " +
                                  std::to_string(fallback ? 3 : 2) +
                                  " held to their checksums: a changed byte in a delta may have gone unseen"),
                  std::string::npos)
            << verify.out;
        Result verifyFrom = Run("verify '" + exe + "' --from '" + Path("old") + "'");
        EXPECT_EQ(verifyFrom.status, 0) << verifyFrom.out;
        EXPECT_EQ(verifyFrom.out.find("without"), std::string::npos) << verifyFrom.out;
        Result verifyWrong = Run("verify '" + exe + "' --from '" + Path("other") + "'");
        EXPECT_EQ(verifyWrong.status, 1) << verifyWrong.out;
        EXPECT_NE(verifyWrong.out.find("not the file this update was built from"), std::string::npos);

        // Files already in the folder under names a scratch file could take are someone else's: kept.
        std::string right = Path(fallback ? "x-whole-right" : "x-right");
        fs::create_directories(right);
        for (const char* name : {"game.pak.fa2-extract.tmp", ".fa2-extract-0.tmp"})
            WriteFile(right + "/" + name, Text(name));
        Result extract = Run("extract '" + exe + "' '" + right + "' --from '" + Path("old") + "'");
        EXPECT_EQ(extract.status, 0) << extract.err;
        EXPECT_TRUE(ReadBytes(right + "/game.pak") == now);
        for (const char* name : {"game.pak.fa2-extract.tmp", ".fa2-extract-0.tmp"})
            EXPECT_TRUE(ReadBytes(right + "/" + name) == Text(name)) << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(right), fs::directory_iterator()), 5) << "nothing else left";

        // The wrong old file: refused with the reason, unless the whole file rides along.
        std::string wrong = Path(fallback ? "x-whole-wrong" : "x-wrong");
        Result refused = Run("extract '" + exe + "' '" + wrong + "' --from '" + Path("other") + "'");
        if (fallback) {
            EXPECT_EQ(refused.status, 0) << refused.err;
            EXPECT_TRUE(ReadBytes(wrong + "/game.pak") == now);
        } else {
            EXPECT_EQ(refused.status, 1);
            EXPECT_NE(refused.err.find("game.pak: not extracted: " + Path("other/data/game.pak") +
                                       " is not the file this update was built from"),
                      std::string::npos)
                << refused.err;
            EXPECT_NE(refused.err.find("this update is for the version of game.pak it was built from"),
                      std::string::npos);
            EXPECT_FALSE(fs::exists(wrong + "/game.pak"));
            EXPECT_TRUE(ReadBytes(wrong + "/readme.txt") == Text("only in the new release\r\n"));
        }
    }
}

// Built against two old releases (and a copy of one), an updater carries one delta per distinct old file: list
// shows each one's base; verify and extract take any of the releases; a third release is refused unless the
// whole file rides along; a ninth --from is refused.
TEST_F(Fa2Tool, DeltaUpdateFromSeveralOldReleases)
{
    Bytes a = RandomBytes(1000000, 11), b = a, now = a;
    b.erase(b.begin() + 100000, b.begin() + 104000);
    Bytes inserted = RandomBytes(20000, 12);
    now.insert(now.begin() + 600000, inserted.begin(), inserted.end());
    Bytes c = a;
    c[5000] ^= 1;
    for (const char* dir : {"new", "a", "b", "copy", "c"})
        fs::create_directories(Path(dir));
    WriteFile(Path("new/game.pak"), now);
    WriteFile(Path("new/UPDATE.INI"), Text("[SETUP]\r\nCompanyName=Q\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=G\r\n"
                                           "[UPDATE]\r\nUpdateFile00=game.pak\r\n"));
    WriteFile(Path("a/game.pak"), a);
    WriteFile(Path("b/game.pak"), b);
    WriteFile(Path("copy/game.pak"), a);
    WriteFile(Path("c/game.pak"), c);
    const std::string stub = " --stub '" + SourceRoot() + "/tests/host/pe_fixtures/stub_plain.exe'";
    const std::string froms = " --from '" + Path("a") + "' --from '" + Path("b") + "' --from '" + Path("copy") + "'";

    for (int fallback : {0, 1}) {
        SCOPED_TRACE(fallback ? "whole file along" : "deltas only");
        std::string exe = Path(fallback ? "whole.exe" : "delta.exe");
        Result build = Run("build '" + Path("new") + "'" + froms + " -o '" + exe + "'" + stub +
                           (fallback ? " --fallback-whole" : ""));
        ASSERT_EQ(build.status, 0) << build.err;
        EXPECT_NE(build.out.find("2 deltas"), std::string::npos) << build.out;

        Result list = Run("list '" + exe + "'");
        ASSERT_EQ(list.status, 0);
        for (const Bytes* base : {&a, &b})
            EXPECT_NE(list.out.find("game.pak  [delta: old " + std::to_string(base->size()) + " -> new " +
                                    std::to_string(now.size()) + " bytes, body stored, old SHA-256 " +
                                    Sha256Start(*base) + "..."),
                      std::string::npos)
                << list.out;

        Result verifyBoth = Run("verify '" + exe + "' --from '" + Path("a") + "' --from '" + Path("b") + "'");
        EXPECT_EQ(verifyBoth.status, 0) << verifyBoth.out;
        Result verifyOne = Run("verify '" + exe + "' --from '" + Path("b") + "'");
        EXPECT_EQ(verifyOne.status, 3) << verifyOne.out;
        EXPECT_NE(verifyOne.out.find("1 delta entries checked without their old files"), std::string::npos)
            << verifyOne.out;
        Result verifyOther = Run("verify '" + exe + "' --from '" + Path("c") + "'");
        EXPECT_EQ(verifyOther.status, 1) << verifyOther.out;

        for (const char* release : {"a", "b", "c"}) {
            std::string out = Path(std::string("x-") + release + (fallback ? "-whole" : ""));
            Result extract = Run("extract '" + exe + "' '" + out + "' --from '" + Path(release) + "'");
            bool refused = release[0] == 'c' && !fallback;
            EXPECT_EQ(extract.status, refused ? 1 : 0) << release << ": " << extract.err;
            EXPECT_EQ(extract.err.find("skipped"), std::string::npos) << extract.err;
            if (refused) {
                EXPECT_FALSE(fs::exists(out + "/game.pak"));
            } else {
                EXPECT_TRUE(ReadBytes(out + "/game.pak") == now) << release;
            }
        }
    }

    std::string nine;
    for (int i = 0; i < 9; i++)
        nine += " --from '" + Path("a") + "'";
    Result tooMany = Run("build '" + Path("new") + "'" + nine + " -o '" + Path("nine.exe") + "'" + stub);
    EXPECT_EQ(tooMany.status, 2);
    EXPECT_NE(tooMany.err.find("--from may be given at most 8 times"), std::string::npos) << tooMany.err;
}
