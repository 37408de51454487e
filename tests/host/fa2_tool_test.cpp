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

#include "archive/archive_format.h"
#include "archive_writer.h"
#include "file_io.h"

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
        std::string command = std::string("'") + FA2_EXE + "' " + args + " >'" + Path(".out") + "' 2>'" +
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

    std::string dir;
};

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
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "4 entries intact\n");
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
    EXPECT_EQ(extract.err, "fa2 extract: missing.dat: no such entry\n");
    EXPECT_EQ(ReadBytes(Path("out/UPDATE.INI")), ReadBytes(Path("src/UPDATE.INI")));
    EXPECT_EQ(ReadBytes(Path(u8"out/表示.txt")), Text("x"));
    EXPECT_FALSE(fs::exists(Path("out/a.txt")));
}

TEST_F(Fa2Tool, ExtractRefusesUnsafeNamesAndSkipsShadowedEntries)
{
    std::vector<WriterEntry> entries;
    for (const char* name : {"../evil.txt", "sub\\x.txt", "C:x.txt", "..", "ok.txt", "Dup.txt", "DUP.TXT"}) {
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
    WriteFile(Path("t.fa2"), image);

    fs::create_directories(Path("out"));
    Result extract = Run("extract '" + Path("t.fa2") + "' '" + Path("out") + "'");
    EXPECT_EQ(extract.status, 1);
    EXPECT_EQ(Lines(extract.err).size(), 5u) << extract.err;
    EXPECT_NE(extract.err.find("DUP.TXT: skipped"), std::string::npos) << extract.err;
    EXPECT_FALSE(fs::exists(Path("evil.txt")));
    std::vector<std::string> written;
    for (const auto& item : fs::directory_iterator(Path("out")))
        written.push_back(item.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"Dup.txt", "ok.txt"}));
    EXPECT_EQ(ReadBytes(Path("out/Dup.txt")), Text("data of Dup.txt"));
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
