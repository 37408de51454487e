#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_writer.h"
#include "harness.h"
#include "support/crc32.h"
#include "support/disk_space.h"
#include "support/globals.h"
#include "support/messages.h"

namespace {

const char NotFound[] = "Can't Find File in Resource !!";
const uint64_t Stamp = 132000000000000000ull + 4321;  // 2019, with a fraction of a second

WriterEntry Entry(const std::string& name, const std::string& data, PackMode storage = PackStore, int scramble = 0,
                  uint64_t fileTime = Stamp)
{
    WriterEntry entry;
    entry.name = name;
    entry.data.assign(data.begin(), data.end());
    entry.fileTime = fileTime;
    entry.storage = storage;
    entry.scramble = scramble;
    return entry;
}

std::string Write(const std::vector<WriterEntry>& entries, PackMode table = PackStore)
{
    WriterOptions options = {table, EncodeFast};
    std::vector<unsigned char> bytes;
    std::string error;
    EXPECT_EQ(WriteArchive(entries, options, &bytes, &error), 1) << error;
    return std::string(bytes.begin(), bytes.end());
}

// The archive opened as the start-up opens it: over an image that stays put, released at the end of the scope.
struct OpenedArchive {
    std::string image;
    ArchiveTable* table;
    explicit OpenedArchive(const std::string& bytes) : image(bytes)
    {
        ArchiveImage = (const unsigned char*)image.data();
        ArchiveImageSize = (uint32_t)image.size();
        table = OpenArchive(image.data(), (uint32_t)image.size());
    }
    ~OpenedArchive()
    {
        if (table)
            GlobalFree(table);
        ArchiveImage = nullptr;
        ArchiveImageSize = 0;
    }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;
    // Offset of a record field inside the image's plain table (for damaging one on purpose).
    unsigned char* Record(uint32_t index)
    {
        ArchiveHeader header;
        memcpy(&header, image.data(), sizeof header);
        return (unsigned char*)&image[header.tableOffset + index * ArchiveEntrySize];
    }
};

bool InImage(const unsigned char* bytes)
{
    return bytes >= ArchiveImage && bytes < ArchiveImage + ArchiveImageSize;
}

// The entry's bytes as LoadEntry gives them (an image pointer or a block, which is released here).
std::string Load(const ArchiveTable* table, const char* name)
{
    uint32_t size = 0;
    int owned = 0;
    const unsigned char* bytes = LoadEntry(table, name, &size, &owned);
    if (!bytes)
        return "(null)";
    std::string data((const char*)bytes, size);
    EXPECT_EQ(owned, !InImage(bytes)) << name;
    if (owned)
        GlobalFree((HGLOBAL)bytes);
    return data;
}

std::string Loaded(const unsigned char* bytes, uint32_t size) { return std::string((const char*)bytes, size); }


DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

// Names in the folder, so a temporary file left behind shows.
std::vector<std::string> Listing(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
            names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

TEST(OpenArchive, PlainAndCompressedTablesFromImageAndFile)
{
    ScratchFolder folder;
    std::vector<WriterEntry> entries = {Entry("UPDATE.INI", "[SETUP]\r\n"), Entry("a.dat", std::string(700, 'a'))};
    for (PackMode tableMode : {PackStore, PackCompressAlways}) {
        std::string image = Write(entries, tableMode);
        ASSERT_EQ(image[4] & 1, tableMode == PackStore ? 0 : 1);
        ArchiveTable* fromImage = OpenArchive(image.data(), (uint32_t)image.size());
        ASSERT_NE(fromImage, nullptr);
        std::string path = folder / "a.fa2";
        ASSERT_TRUE(WriteBytes(path, image));
        ArchiveTable* fromFile = OpenArchive(path.c_str(), 0);
        ASSERT_NE(fromFile, nullptr);
        size_t blockSize = ArchiveHeaderSize + 2 * ArchiveEntrySize;
        EXPECT_GE(GlobalSize(fromImage), blockSize);
        EXPECT_EQ(memcmp(fromImage, fromFile, blockSize), 0);
        EXPECT_EQ(memcmp(fromImage, image.data(), ArchiveHeaderSize), 0);
        EXPECT_STREQ(ArchiveTableEntries(fromImage)[1].name, "a.dat");
        EXPECT_EQ(ArchiveTableEntries(fromImage)[1].unpackedSize, 700u);
        GlobalFree(fromImage);
        GlobalFree(fromFile);
    }
}

TEST(OpenArchive, MagicIsRequiredOfAFileOnly)
{
    ScratchFolder folder;
    MessageBoxCapture capture;
    std::string image = Write({Entry("a", "x")});
    image[2] = '3';
    ArchiveTable* fromImage = OpenArchive(image.data(), (uint32_t)image.size());
    EXPECT_NE(fromImage, nullptr);
    GlobalFree(fromImage);
    ASSERT_TRUE(WriteBytes(folder / "bad.fa2", image));
    EXPECT_EQ(OpenArchive((folder / "bad.fa2").c_str(), 0), nullptr);
    EXPECT_EQ(OpenArchive((folder / "missing.fa2").c_str(), 0), nullptr);
    EXPECT_TRUE(capture.boxes.empty()) << "the open shows no message";
}

TEST(OpenArchive, DamagedTablesFailSilently)
{
    ScratchFolder folder;
    MessageBoxCapture capture;
    std::vector<WriterEntry> entries = {Entry("a", "abc"), Entry("b", std::string(100, 'b'))};
    std::string plain = Write(entries, PackStore), packed = Write(entries, PackCompressAlways);
    auto withU32 = [](std::string image, size_t at, uint32_t value) {
        memcpy(&image[at], &value, 4);
        return image;
    };
    struct Case {
        const char* label;
        std::string image;
    } cases[] = {
        {"short header", plain.substr(0, 12)},
        {"plain table cut", plain.substr(0, plain.size() - 1)},
        {"compressed table cut", packed.substr(0, packed.size() - 1)},
        {"tableOffset past the end", withU32(plain, 8, (uint32_t)plain.size() + 16)},
        {"huge entryCount", withU32(plain, 12, 0x00FFFFFFu)},
        {"entryCount overflowing 32 bits", withU32(packed, 12, 0x0F000000u)},
        {"compressed table one record short", withU32(packed, 12, 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenArchive(c.image.data(), (uint32_t)c.image.size()), nullptr) << c.label;
        std::string path = folder / "damaged.fa2";
        ASSERT_TRUE(WriteBytes(path, c.image));
        EXPECT_EQ(OpenArchive(path.c_str(), 0), nullptr) << c.label;
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(FindEntry, CaseInsensitiveFirstMatchAndEmptyTable)
{
    ScratchFolder folder;
    OpenedArchive archive(Write({Entry("UPDATE.INI", "first"), Entry("update.ini", "second"),
                                 Entry("\x83\x61", "dhi"), Entry("\x83\x41", "a")}));
    ASSERT_NE(archive.table, nullptr);
    MessageBoxCapture capture;
    uint32_t size = 0;
    EXPECT_EQ(Load(archive.table, "Update.Ini"), "first");
    ASSERT_EQ(ExtractEntry(archive.table, "update.ini", (folder / "u.ini").c_str(), 0), 1);
    EXPECT_EQ(ReadBytes(folder / "u.ini"), "first");
    EXPECT_EQ(Load(archive.table, "\x83\x41"), "a") << "ア is not ヂ";
    EXPECT_TRUE(capture.boxes.empty());

    OpenedArchive empty(Write({}));
    ASSERT_NE(empty.table, nullptr);
    int owned;
    EXPECT_EQ(LoadEntry(empty.table, "UPDATE.INI", &size, &owned), nullptr);
    EXPECT_EQ(ExtractEntry(empty.table, "UPDATE.INI", (folder / "x").c_str(), 0), 0);
    EXPECT_EQ(LoadEntry(archive.table, "UPDATE.IN", &size, &owned), nullptr);
    ASSERT_EQ(capture.boxes.size(), 3u);
    for (const CapturedBox& box : capture.boxes) {
        EXPECT_EQ(box.text, NotFound);
        EXPECT_EQ(box.caption, WindowCaption);
        EXPECT_EQ(box.style, (UINT)(MB_ICONERROR | MB_OK));
    }
    EXPECT_FALSE(PathExists(folder / "x"));
}

TEST(LoadEntry, PlainFromTheImageOtherwiseANewBlock)
{
    std::string text = "agreement " + std::string(500, 't');
    OpenedArchive archive(Write({Entry("s0", ""), Entry("s1", "1"), Entry("s16", std::string(16, 'x')),
                                 Entry("s17", std::string(17, 'y')), Entry("plain.txt", text),
                                 Entry("packed.txt", text, PackCompressAlways),
                                 Entry("scrambled.txt", text, PackStore, 1),
                                 Entry("both.txt", text, PackCompressAlways, 1),
                                 Entry("empty.txt", "", PackCompressAlways, 1)}));
    ASSERT_NE(archive.table, nullptr);
    MessageBoxCapture capture;
    uint32_t size = 0;
    // Stored sizes 0, 1, 16 and 17 advance the data by 0, 16, 16 and 32: plain.txt starts at 16 + 64.
    int owned = 1;
    const unsigned char* plain = LoadEntry(archive.table, "plain.txt", &size, &owned);
    EXPECT_EQ(plain, (const unsigned char*)archive.image.data() + 80);
    EXPECT_EQ(owned, 0) << "the image's own bytes";
    EXPECT_EQ(Loaded(plain, size), text);
    EXPECT_EQ(Load(archive.table, "s17"), std::string(17, 'y'));
    for (const char* name : {"packed.txt", "scrambled.txt", "both.txt"}) {
        size = 0;
        const unsigned char* bytes = LoadEntry(archive.table, name, &size, &owned);
        ASSERT_NE(bytes, nullptr) << name;
        EXPECT_FALSE(InImage(bytes)) << name;
        EXPECT_EQ(owned, 1) << name;
        EXPECT_EQ(Loaded(bytes, size), text) << name;
        EXPECT_GE(GlobalSize((HGLOBAL)bytes), size) << name;
        GlobalFree((HGLOBAL)bytes);
    }
    size = 99;
    const unsigned char* empty = LoadEntry(archive.table, "empty.txt", &size, &owned);
    ASSERT_NE(empty, nullptr);
    ASSERT_EQ(owned, 1);
    EXPECT_EQ(size, 0u);
    GlobalFree((HGLOBAL)empty);
    EXPECT_NE(LoadEntry(archive.table, "s0", nullptr, &owned), nullptr) << "the size is optional";
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(ExtractEntry, WritesExactBytesWithTheEntryTime)
{
    ScratchFolder folder;
    std::string text(5000, 'k');
    text += "end";
    OpenedArchive archive(Write({Entry("plain", text), Entry("packed", text, PackCompressAlways),
                                 Entry("scrambled", text, PackStore, 1), Entry("both", text, PackCompressAlways, 1),
                                 Entry("empty", "", PackCompressAlways), Entry("表示.txt", "cp932 name")}));
    ASSERT_NE(archive.table, nullptr);
    MessageBoxCapture capture;
    for (const char* name : {"plain", "packed", "scrambled", "both"}) {
        std::string path = folder / name;
        ASSERT_EQ(ExtractEntry(archive.table, name, path.c_str(), 0), 1) << name;
        FILETIME access, write;
        ASSERT_TRUE(GetFileTimes(path, &access, &write));  // before reading, which moves the access time
        EXPECT_EQ(FileTimeValue(write), Stamp) << name;
        EXPECT_EQ(FileTimeValue(access), Stamp) << name;
        EXPECT_EQ(ReadBytes(path), text) << name;
    }
    ASSERT_EQ(ExtractEntry(archive.table, "empty", (folder / "empty").c_str(), 0), 1);
    bool ok = false;
    EXPECT_EQ(ReadBytes(folder / "empty", &ok), "");
    EXPECT_TRUE(ok);
    ASSERT_EQ(ExtractEntry(archive.table, "表示.TXT", (folder / "表示.txt").c_str(), 0), 1);
    EXPECT_EQ(ReadBytes(folder / "表示.txt"), "cp932 name");
    EXPECT_TRUE(capture.boxes.empty());
}

// Several megabytes of varied, compressible bytes: text-like runs with numbers, so the decoder's window slides
// many times with copies from every distance.
std::string BigCompressible(size_t size)
{
    static const char* words[] = {"archive ", "entry ", "window ", "piece ", "slide ", "\r\n", "0123 ", "data "};
    std::string s;
    s.reserve(size);
    uint32_t x = 12345;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 8];
        if ((x >> 8) % 5 == 0)
            s += std::to_string(x % 100000);
    }
    s.resize(size);
    return s;
}

TEST(ExtractEntry, BigEntriesGoThroughInPiecesAndDamageFoundLateLeavesTheTarget)
{
    ScratchFolder folder;
    const std::string big = BigCompressible(6u << 20);
    OpenedArchive archive(Write({Entry("packed", big, PackCompressAlways), Entry("both", big, PackCompressAlways, 1),
                                 Entry("scrambled", big, PackStore, 1), Entry("plain", big)}));
    ASSERT_NE(archive.table, nullptr);
    {
        MessageBoxCapture capture;
        for (const char* name : {"packed", "both", "scrambled", "plain"}) {
            std::string path = folder / name;
            ASSERT_EQ(ExtractEntry(archive.table, name, path.c_str(), 0), 1) << name;
            EXPECT_TRUE(ReadBytes(path) == big) << name;
            EXPECT_EQ(LastWriteTime(path), Stamp) << name;
        }
        EXPECT_TRUE(capture.boxes.empty());
    }

    // The stored data cut to half: the decoder runs dry megabytes into the entry, after many pieces were written.
    for (uint32_t index : {0u, 1u}) {
        uint32_t storedSize;
        memcpy(&storedSize, archive.Record(index) + 276, 4);
        storedSize /= 2;
        memcpy(archive.Record(index) + 276, &storedSize, 4);
    }
    ArchiveTable* cut = OpenArchive(archive.image.data(), (uint32_t)archive.image.size());
    ASSERT_NE(cut, nullptr);
    for (const char* name : {"packed", "both"}) {
        std::string path = folder / name;
        MessageBoxCapture damaged;
        EXPECT_EQ(ExtractEntry(cut, name, path.c_str(), 0), 0) << name;
        ASSERT_EQ(damaged.boxes.size(), 1u) << name;
        EXPECT_EQ(damaged.boxes[0].text, NotFound) << name;
        EXPECT_TRUE(ReadBytes(path) == big) << name << ": the earlier file stays whole";
    }
    EXPECT_EQ(Listing(folder.path).size(), 4u) << "no temporary file left behind";
    GlobalFree(cut);
}

TEST(ExtractEntry, FolderDestinationGivesZeroWithoutAMessage)
{
    ScratchFolder folder;
    OpenedArchive archive(Write({Entry("a.dat", "abc")}));
    ASSERT_NE(archive.table, nullptr);
    ASSERT_TRUE(CreateDirectoryA((folder / "a.dat").c_str(), nullptr));
    MessageBoxCapture capture;
    EXPECT_EQ(ExtractEntry(archive.table, "a.dat", (folder / "a.dat").c_str(), 0), 0);
    EXPECT_EQ(ExtractEntry(archive.table, "a.dat", (folder / "a.dat").c_str(), 1), 0);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_TRUE(Attributes(folder / "a.dat") & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(ExtractEntry, KeepNewerComparesLastWriteTimes)
{
    ScratchFolder folder;
    OpenedArchive archive(Write({Entry("a.dat", "from archive")}));
    ASSERT_NE(archive.table, nullptr);
    MessageBoxCapture capture;
    struct Case {
        const char* label;
        int exists;
        uint64_t existingTime;
        int readOnly;
        int keepNewer;
        const char* expected;
    } cases[] = {
        {"later kept", 1, Stamp + 1, 0, 1, "old"},
        {"later by more than 32 bits kept", 1, Stamp + 0x100000000ull, 0, 1, "old"},
        {"equal written", 1, Stamp, 0, 1, "from archive"},
        {"earlier written", 1, Stamp - 1, 0, 1, "from archive"},
        {"missing written", 0, 0, 0, 1, "from archive"},
        {"later without keepNewer written", 1, Stamp + 1, 0, 0, "from archive"},
        {"read-only later kept", 1, Stamp + 1, 1, 1, "old"},
        {"read-only earlier written", 1, Stamp - 1, 1, 1, "from archive"},
        {"read-only written without keepNewer", 1, Stamp + 1, 1, 0, "from archive"},
    };
    for (const Case& c : cases) {
        std::string path = folder / "a.dat";
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
        if (c.exists) {
            ASSERT_TRUE(WriteBytes(path, "old"));
            ASSERT_TRUE(SetLastWriteTime(path, c.existingTime));
            if (c.readOnly) {
                ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
            }
        }
        EXPECT_EQ(ExtractEntry(archive.table, "a.dat", path.c_str(), c.keepNewer), 1) << c.label;
        EXPECT_EQ(ReadBytes(path), c.expected) << c.label;
        EXPECT_FALSE(Attributes(path) & FILE_ATTRIBUTE_READONLY) << c.label << ": read-only mark cleared";
        EXPECT_EQ(LastWriteTime(path), std::string(c.expected) == "old" ? c.existingTime : Stamp) << c.label;
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(ExtractEntry, DamagedEntriesWriteNothingAndLeaveTheTargetAlone)
{
    ScratchFolder folder;
    std::string text(3000, 'd');
    struct Case {
        const char* label;
        PackMode storage;
        int scramble;
        uint32_t field;  // offset inside the record
        uint32_t value;
    } cases[] = {
        {"stored range past the end", PackStore, 0, 276, 0x00100000u},
        {"stored size differs from unpacked", PackStore, 0, 272, 2999},
        {"compressed unpacked size one more", PackCompressAlways, 0, 272, 3001},
        {"compressed stored size cut", PackCompressAlways, 0, 276, 10},
        {"compressed, scramble mark lost", PackCompressAlways, 1, 262, 0},
    };
    for (const Case& c : cases) {
        OpenedArchive archive(Write({Entry("victim", text, c.storage, c.scramble)}));
        unsigned char* record = archive.Record(0);
        if (c.field == 262)
            record[262] = (unsigned char)c.value;
        else
            memcpy(record + c.field, &c.value, 4);
        ArchiveTable* table = OpenArchive(archive.image.data(), (uint32_t)archive.image.size());
        ASSERT_NE(table, nullptr) << c.label;
        std::string fresh = folder / "fresh.dat", kept = folder / "kept.dat";
        ASSERT_TRUE(WriteBytes(kept, "keep me"));
        ASSERT_TRUE(SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_READONLY));
        {
            MessageBoxCapture capture;
            EXPECT_EQ(ExtractEntry(table, "victim", fresh.c_str(), 0), 0) << c.label;
            EXPECT_EQ(ExtractEntry(table, "victim", kept.c_str(), 1), 0) << c.label;
            uint32_t size;
            int owned;
            EXPECT_EQ(LoadEntry(table, "victim", &size, &owned), nullptr) << c.label;
            ASSERT_EQ(capture.boxes.size(), 3u) << c.label;
            for (const CapturedBox& box : capture.boxes) {
                EXPECT_EQ(box.text, NotFound) << c.label;
            }
        }
        EXPECT_FALSE(PathExists(fresh)) << c.label;
        EXPECT_EQ(Listing(folder.path), std::vector<std::string>{"kept.dat"}) << c.label;
        EXPECT_EQ(ReadBytes(kept), "keep me") << c.label;
        EXPECT_TRUE(Attributes(kept) & FILE_ATTRIBUTE_READONLY) << c.label << ": untouched, even its mark";
        SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
        GlobalFree(table);
    }
}

// An archive written the way fa2 build writes it, and the sums it puts beside it.
std::string WriteWithSums(const std::vector<WriterEntry>& entries, std::vector<unsigned char>* sums)
{
    std::vector<unsigned char> bytes;
    ArchiveWriter writer;
    std::string error;
    WriterOptions options = {PackStore, EncodeFast};
    EXPECT_TRUE(StartArchive(&writer, VectorSink(&bytes), options));
    for (const WriterEntry& e : entries) {
        std::vector<unsigned char> data(e.data);
        EXPECT_TRUE(AddArchiveEntry(&writer, e.name, data.data(), data.size(), e.fileTime, e.storage, e.scramble,
                                    &error))
            << error;
    }
    EXPECT_TRUE(FinishArchive(&writer, &error)) << error;
    sums->resize(PayloadSumsSize((uint32_t)entries.size()));
    WritePayloadSums(sums->data(), (uint32_t)entries.size(), (uint32_t)bytes.size(), writer.tableSum,
                     writer.sums.data());
    return std::string(bytes.begin(), bytes.end());
}

// The sums in force for a scope, as the start-up loads them; none again afterwards.
struct SumsInForce {
    std::vector<unsigned char> bytes;
    int loaded;
    explicit SumsInForce(const std::vector<unsigned char>& sums) : bytes(sums)
    {
        loaded = LoadPayloadSums(bytes.data(), (uint32_t)bytes.size());
    }
    ~SumsInForce()
    {
        UpdateSumsLoaded = 0;
        PayloadDamageShown = 0;
    }
    SumsInForce(const SumsInForce&) = delete;
    SumsInForce& operator=(const SumsInForce&) = delete;
};

const std::vector<WriterEntry> SummedEntries()
{
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line " + std::to_string(i % 17) + " of a text that compresses\r\n";
    return {Entry("plain.dat", std::string(5000, 'p')), Entry("packed.dat", text, PackCompressAlways),
            Entry("hidden.dat", std::string(4000, 'h'), PackStore, 1),
            Entry("both.dat", text, PackCompressAlways, 1)};
}

// One flipped byte in any kind of entry: with the sums beside the payload the updater refuses it with the
// download-again message before the target is touched; LoadEntry gives nothing.
TEST(PayloadSums, ADamagedEntryNeverReachesItsTarget)
{
    ScratchFolder folder;
    std::vector<unsigned char> sums;
    std::string good = WriteWithSums(SummedEntries(), &sums);
    for (const WriterEntry& victim : SummedEntries()) {
        SCOPED_TRACE(victim.name);
        std::string image = good;
        {
            OpenedArchive probe(good);
            const ArchiveEntry* entry;
            uint64_t offset;
            ASSERT_TRUE(FindArchiveEntry(probe.table, victim.name.c_str(), &entry, &offset));
            image[(size_t)offset + entry->storedSize / 2] ^= 0x04;
        }
        OpenedArchive archive(image);
        ASSERT_NE(archive.table, nullptr);
        SumsInForce inForce(sums);
        ASSERT_EQ(inForce.loaded, 1);
        EXPECT_EQ(CheckTableSums(archive.table, ArchiveImageSize), 1) << "the table itself is sound";
        std::string target = folder / "target.dat";
        ASSERT_TRUE(WriteBytes(target, "the game's own"));
        MessageBoxCapture capture;
        EXPECT_EQ(ExtractEntry(archive.table, victim.name.c_str(), target.c_str(), 0), 0);
        EXPECT_EQ(Load(archive.table, victim.name.c_str()), "(null)");
        ASSERT_EQ(capture.boxes.size(), 1u) << "one message, however often the damage is met";
        EXPECT_EQ(capture.boxes[0].text, DamagedPayloadText);
        EXPECT_EQ(capture.boxes[0].caption, std::string(WindowCaption));
        EXPECT_EQ(capture.boxes[0].style & MB_ICONMASK, (UINT)MB_ICONERROR);
        EXPECT_EQ(ReadBytes(target), "the game's own");
        // The other entries are sound and written as ever.
        for (const WriterEntry& other : SummedEntries()) {
            if (other.name == victim.name)
                continue;
            std::string path = folder / other.name;
            EXPECT_EQ(ExtractEntry(archive.table, other.name.c_str(), path.c_str(), 0), 1) << other.name;
            EXPECT_EQ(ReadBytes(path), std::string(other.data.begin(), other.data.end())) << other.name;
        }
        EXPECT_EQ(capture.boxes.size(), 1u);
    }
}

// An updater without sums works as before: a flipped byte in a stored entry goes to the game unnoticed.
TEST(PayloadSums, WithoutSumsEntriesAreWrittenAsBefore)
{
    ScratchFolder folder;
    std::vector<unsigned char> sums;
    std::string image = WriteWithSums(SummedEntries(), &sums);
    const ArchiveEntry* entry;
    uint64_t offset;
    {
        OpenedArchive probe(image);
        ASSERT_TRUE(FindArchiveEntry(probe.table, "plain.dat", &entry, &offset));
    }
    image[(size_t)offset + 10] = 'X';
    OpenedArchive archive(image);
    MessageBoxCapture capture;
    EXPECT_EQ(CheckTableSums(archive.table, ArchiveImageSize), 1);
    std::string target = folder / "plain.dat";
    EXPECT_EQ(ExtractEntry(archive.table, "plain.dat", target.c_str(), 0), 1);
    std::string expected(5000, 'p');
    expected[10] = 'X';
    EXPECT_EQ(ReadBytes(target), expected);
    EXPECT_TRUE(capture.boxes.empty());
}

// The start-up's two checks: the sums resource itself, and the table it was written for.
TEST(PayloadSums, DamagedSumsOrAnotherTableStopTheStart)
{
    std::vector<unsigned char> sums;
    std::string image = WriteWithSums(SummedEntries(), &sums);
    struct Case {
        const char* what;
        int byte;      // flipped in the sums resource, or -1
        int version;   // a later format, resealed, when not 0
        int otherTable;
        int loaded, tableOk;
    } cases[] = {
        {"intact", -1, 0, 0, 1, 1},
        {"a flipped entry sum", 30, 0, 0, 0, 1},
        {"a later format", -1, 2, 0, 1, 1},
        {"written for another archive", -1, 0, 1, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes = sums;
        if (c.byte >= 0)
            bytes[c.byte] ^= 1;
        if (c.version) {
            bytes[4] = (unsigned char)c.version;
            uint32_t crc = Crc32Update(Crc32Update(0, bytes.data(), 20), bytes.data() + 24, bytes.size() - 24);
            memcpy(bytes.data() + 20, &crc, 4);
        }
        std::string archiveBytes = image;
        if (c.otherTable)
            archiveBytes = Write({Entry("plain.dat", "another")});
        OpenedArchive archive(archiveBytes);
        MessageBoxCapture capture;
        SumsInForce inForce(bytes);
        EXPECT_EQ(inForce.loaded, c.loaded);
        if (inForce.loaded) {
            EXPECT_EQ(CheckTableSums(archive.table, ArchiveImageSize), c.tableOk);
        }
        size_t boxes = (c.loaded && c.tableOk) ? 0 : 1;
        ASSERT_EQ(capture.boxes.size(), boxes);
        if (boxes) {
            EXPECT_EQ(capture.boxes[0].text, DamagedPayloadText);
        }
        EXPECT_EQ(UpdateSumsLoaded, c.loaded && !c.version);
    }
}

// What the update job checks each entry it streams with: the sum packed for that record.
TEST(PayloadSums, EntryIntactHoldsARecordToItsOwnSum)
{
    std::vector<unsigned char> sums;
    std::vector<WriterEntry> entries = SummedEntries();
    std::string image = WriteWithSums(entries, &sums);
    OpenedArchive archive(image);
    const ArchiveEntry* records = ArchiveTableEntries(archive.table);
    uint32_t first = Crc32Update(0, entries[0].data.data(), entries[0].data.size());
    EXPECT_EQ(EntryIntact(archive.table, &records[0], first), 1) << "no sums: every entry is intact";
    EXPECT_EQ(EntryIntact(archive.table, &records[0], first ^ 1), 1);
    SumsInForce inForce(sums);
    EXPECT_EQ(EntryIntact(archive.table, &records[0], first), 1);
    EXPECT_EQ(EntryIntact(archive.table, &records[0], first ^ 1), 0);
    EXPECT_EQ(EntryIntact(archive.table, &records[1], first), 0) << "another record's sum";
}

TEST(ExtractEntry, FreeSpaceIsTestedFirstAgainstTheWholeEntry)
{
    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    ClearSmallDisk();
    uint64_t available = 0, total = 0;
    ASSERT_NE(QueryDriveFreeSpace("F:", &available, &total, nullptr), 0);
    ASSERT_GT(available, 1000u);
    OpenedArchive archive(Write({Entry("exact", std::string((size_t)available, 'e'), PackCompressAlways),
                                 Entry("over", std::string((size_t)available + 1, 'o'), PackCompressAlways)}));
    ASSERT_NE(archive.table, nullptr);
    {
        MessageBoxCapture capture;
        EXPECT_EQ(ExtractEntry(archive.table, "over", "F:\\over.dat", 0), 0);
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, "ディスク容量が足りません。F: ドライブに 1 バイトの空き容量が必要です");
        EXPECT_EQ(capture.boxes[0].caption, WindowCaption);
        EXPECT_FALSE(PathExists("F:\\over.dat"));
    }
    {
        MessageBoxCapture capture;
        EXPECT_EQ(ExtractEntry(archive.table, "exact", "F:\\exact.dat", 0), 1);
        EXPECT_TRUE(capture.boxes.empty());
        EXPECT_EQ(ReadBytes("F:\\exact.dat").size(), (size_t)available);
    }
    {
        // The drive is full now: even replacing that file with itself, or keeping it as newer, is refused.
        ASSERT_TRUE(SetLastWriteTime("F:\\exact.dat", Stamp + 1));
        MessageBoxCapture capture;
        EXPECT_EQ(ExtractEntry(archive.table, "exact", "F:\\exact.dat", 0), 0);
        EXPECT_EQ(ExtractEntry(archive.table, "exact", "F:\\exact.dat", 1), 0);
        ASSERT_EQ(capture.boxes.size(), 2u);
        std::string expected = "ディスク容量が足りません。F: ドライブに " + std::to_string(available) +
                               " バイトの空き容量が必要です";
        EXPECT_EQ(capture.boxes[0].text, expected);
        EXPECT_EQ(capture.boxes[1].text, expected);
    }
    ClearSmallDisk();
}

TEST(ExtractEntry, ShortfallsOf2GiBAndMoreShowAsPositive)
{
    std::string why;
    if (!SmallDiskAvailable(&why))
        GTEST_SKIP() << why;
    ClearSmallDisk();
    uint64_t available = 0, total = 0;
    ASSERT_NE(QueryDriveFreeSpace("F:", &available, &total, nullptr), 0);
    // A record that claims almost 4 GiB; the free-space test comes before anything reads its data.
    OpenedArchive archive(Write({Entry("huge", "x")}));
    uint32_t huge = 0xFFFFFFFFu;
    memcpy(archive.Record(0) + 272, &huge, 4);
    ArchiveTable* table = OpenArchive(archive.image.data(), (uint32_t)archive.image.size());
    ASSERT_NE(table, nullptr);
    MessageBoxCapture capture;
    EXPECT_EQ(ExtractEntry(table, "huge", "F:\\huge.dat", 0), 0);
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "ディスク容量が足りません。F: ドライブに " + std::to_string(huge - available) +
                                         " バイトの空き容量が必要です");
    GlobalFree(table);
}

TEST(ExtractEntry, AFailedFreeSpaceQueryLetsTheExtractionGoOn)
{
    ScratchFolder folder;
    OpenedArchive archive(Write({Entry("a.dat", "written anyway")}));
    ASSERT_NE(archive.table, nullptr);
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path.c_str()));
    // A relative path gives the drive string "zz", which names no drive.
    uint64_t available, total;
    EXPECT_EQ(QueryDriveFreeSpace("zz", &available, &total, nullptr), 0);
    MessageBoxCapture capture;
    EXPECT_EQ(ExtractEntry(archive.table, "a.dat", "zz.dat", 0), 1);
    SetCurrentDirectoryA(previous);
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(ReadBytes(folder / "zz.dat"), "written anyway");
}

TEST(ExtractEntry, OnlyLoadingWholeNeedsMemoryForTheWholeEntry)
{
    // A compressed record claiming 4 GiB - 1 needs a block that loading it whole never asks for (past the
    // updater's bound for one block, which a 32-bit process could not get anyway); its stored bytes must be long
    // enough to be believable (about 1/90 of it). Extraction streams it through a small workspace instead, so
    // what it finds is the damage (the stored bytes are no block).
    uint64_t available = 0, total = 0;
    if (!QueryDriveFreeSpace("C:", &available, &total, nullptr) || available < 0xFFFFFFFFull)
        GTEST_SKIP() << "C: has less than 4 GiB free, so the free-space test would answer first";
    ScratchFolder folder;
    OpenedArchive archive(Write({Entry("big", std::string(48u << 20, 'b'))}));
    // Just past the bound and the largest claim there is: the same stop on either architecture.
    for (uint32_t huge : {(1u << 30) + 1, 0xFFFFFFFFu}) {
        SCOPED_TRACE(huge);
        uint32_t storage = EntryStorageCompressed;
        memcpy(archive.Record(0) + 272, &huge, 4);
        archive.Record(0)[260] = (unsigned char)storage;
        ArchiveTable* table = OpenArchive(archive.image.data(), (uint32_t)archive.image.size());
        ASSERT_NE(table, nullptr);
        MessageBoxCapture capture;
        uint32_t size;
        int owned;
        EXPECT_EQ(LoadEntry(table, "big", &size, &owned), nullptr);
        EXPECT_EQ(ExtractEntry(table, "big", (folder / "big").c_str(), 0), 0);
        ASSERT_EQ(capture.boxes.size(), 2u);
        EXPECT_EQ(capture.boxes[0].text, "Can't Allocate Memory !!");
        EXPECT_EQ(capture.boxes[1].text, NotFound);
        EXPECT_FALSE(PathExists(folder / "big"));
        EXPECT_TRUE(Listing(folder.path).empty()) << "no temporary file left behind";
        GlobalFree(table);
    }
}

// The LZMA fixtures' big.dat, by the formula of tests/win32/fixtures/make_lzma_fixtures.sh.
std::string BigLzmaFixture()
{
    std::string s;
    for (uint32_t k = 0; k < 12000; ++k) {
        s += "line " + std::to_string(k) + " of the update\r\n";
        uint32_t fields[4] = {k, 1000 + 3 * k, k % 7, 0xFFFF0000u};
        s.append((const char*)fields, sizeof fields);
    }
    return s;
}

TEST(LzmaEntries, OpenLoadAndExtractInTheUpdater)
{
    const uint64_t NewYear2020 = 132223104000000000ull;
    std::string ini;
    for (int k = 0; k < 40; ++k)
        ini += "[SETUP]\r\nCompanyName=Q\r\n";
    for (const char* fixture : {"lzma.fa2", "lzma_scrambled.fa2"}) {
        bool read = false;
        OpenedArchive archive(ReadBytes(std::string(UPD_FIXTURES) + "\\" + fixture, &read));
        ASSERT_TRUE(read) << fixture;
        ASSERT_NE(archive.table, nullptr) << fixture << ": an LZMA table opens";
        EXPECT_EQ(archive.table->header.flags, ArchiveFlagNewMethods | ArchiveFlagTableLzma);
        ScratchFolder folder;
        MessageBoxCapture capture;
        EXPECT_EQ(Load(archive.table, "update.ini"), ini) << fixture;
        ASSERT_EQ(ExtractEntry(archive.table, "big.dat", (folder / "big.dat").c_str(), 0), 1) << fixture;
        EXPECT_TRUE(ReadBytes(folder / "big.dat") == BigLzmaFixture()) << fixture;
        EXPECT_EQ(LastWriteTime(folder / "big.dat"), NewYear2020) << fixture;
        ASSERT_EQ(ExtractEntry(archive.table, "noise.bin", (folder / "noise.bin").c_str(), 0), 1) << fixture;
        EXPECT_EQ(ReadBytes(folder / "noise.bin").size(), 2000u);
        EXPECT_TRUE(capture.boxes.empty()) << fixture;
    }
}

TEST(LzmaEntries, DamageAndHostileDictionariesStopCleanly)
{
    bool read = false;
    std::string image = ReadBytes(std::string(UPD_FIXTURES) + "\\lzma.fa2", &read);
    ASSERT_TRUE(read);
    ScratchFolder folder;
    std::string target = folder / "big.dat";
    ASSERT_TRUE(WriteBytes(target, "the installed file"));
    {
        // A byte of big.dat's stream changed: refused as the other methods refuse damage, the target kept.
        OpenedArchive archive(image);
        ASSERT_NE(archive.table, nullptr);
        const ArchiveEntry* entry;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(archive.table, "big.dat", &entry, &offset));
        archive.image[(size_t)offset + entry->storedSize / 2] ^= 0x21;
        MessageBoxCapture capture;
        EXPECT_EQ(ExtractEntry(archive.table, "big.dat", target.c_str(), 0), 0);
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, NotFound);
        EXPECT_EQ(ReadBytes(target), "the installed file");
    }

    // A record claiming 2.5 GB with a 4 GiB dictionary: no archive fa2 writes names a dictionary that large, so it
    // is damage, refused before any window is sized, by a 32-bit and a 64-bit updater alike.
    const uint32_t huge = 2500000000u;
    uint64_t available = 0, total = 0;
    if (!QueryDriveFreeSpace("C:", &available, &total, nullptr) || available < huge)
        GTEST_SKIP() << "C: has less than 2.5 GB free, so the free-space test would answer first";
    std::string stored = std::string("\x5D\xFF\xFF\xFF\xFF", 5) + std::string(80000, '\0');
    OpenedArchive hostile(Write({Entry("hostile", stored)}));
    // LZMA is read only in an archive that says it uses new methods.
    uint32_t flags = ArchiveFlagNewMethods;
    memcpy(&hostile.image[4], &flags, 4);
    hostile.Record(0)[260] = EntryStorageLzma;
    memcpy(hostile.Record(0) + 272, &huge, 4);
    ArchiveTable* table = OpenArchive(hostile.image.data(), (uint32_t)hostile.image.size());
    ASSERT_NE(table, nullptr);
    MessageBoxCapture capture;
    uint32_t size;
    int owned;
    EXPECT_EQ(LoadEntry(table, "hostile", &size, &owned), nullptr);
    EXPECT_EQ(ExtractEntry(table, "hostile", target.c_str(), 0), 0);
    ASSERT_EQ(capture.boxes.size(), 2u);
    EXPECT_EQ(capture.boxes[0].text, NotFound);
    EXPECT_EQ(capture.boxes[1].text, NotFound);
    EXPECT_EQ(ReadBytes(target), "the installed file");
    EXPECT_EQ(Listing(folder.path), std::vector<std::string>{"big.dat"});
    GlobalFree(table);
}

}  // namespace
