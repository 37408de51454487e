#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "job/journal_format.h"

namespace {

typedef std::vector<unsigned char> Bytes;

JournalRecord Record(JournalRecordType type, const std::string& path = "", const std::string& staged = "",
                     const std::string& backup = "")
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = type;
    strcpy(record.path, path.c_str());
    strcpy(record.staged, staged.c_str());
    strcpy(record.backup, backup.c_str());
    return record;
}

// One of each kind, with cp932 paths (表 ends in the byte 0x5C) and values that use every byte of their fields.
std::vector<JournalRecord> EveryKind()
{
    JournalRecord folderTime = Record(JournalFolderTime, "C:\\Games\\\x95\x5c");
    folderTime.time = 0x01D5A1B2C3D4E5F7ull;
    JournalRecord replace = Record(JournalReplace, "C:\\Games\\a.dat", "C:\\Games\\~ABCDEF00001",
                                   "C:\\Games\\~ABCDEF00002");
    replace.hadOriginal = 1;
    // A target the ANSI calls reach by its short name, with its real name (説明書.txt) beside it.
    JournalRecord wide = Record(JournalReplaceWide, "C:\\Games\\8AE3~1.TXT", "C:\\Games\\~ABCDEF00005",
                                "C:\\Games\\~ABCDEF00006");
    const uint16_t realName[] = {'C', ':', '\\', 0x8aac, 0x660e, 0x66f8, '.', 't', 'x', 't', 0};
    memcpy(wide.wideTarget, realName, sizeof realName);
    wide.hadOriginal = 1;
    JournalRecord job = Record(JournalJob, "C:\\Games", "D:\\save");
    job.time = 2176782335ull;  // the largest tag
    JournalRecord attributes = Record(JournalAttributes, "C:\\Games\\kept.dat");
    attributes.oldAttributes = 0x80000021u;
    attributes.newAttributes = 0x80;
    return {job,
            folderTime,
            Record(JournalCreateFolder, "C:\\Games\\movie"),
            Record(JournalStaged, "C:\\Games\\~ABCDEF00001"),
            Record(JournalCommitBegins),
            replace,
            Record(JournalReplace, "D:\\save\\new.sav", "D:\\save\\~ABCDEF00003", "D:\\save\\~ABCDEF00004"),
            wide,
            attributes,
            Record(JournalCommitUndone),
            Record(JournalCommitDone)};
}

Bytes Encode(const std::vector<JournalRecord>& records, std::vector<size_t>* ends = nullptr)
{
    Bytes bytes(JournalHeaderSize);
    EncodeJournalHeader(bytes.data());
    for (const JournalRecord& record : records) {
        size_t size = JournalRecordSize(record);
        EXPECT_GT(size, 0u);
        EXPECT_LE(size, JournalRecordMaxSize);
        size_t at = bytes.size();
        bytes.resize(at + size);
        EXPECT_EQ(EncodeJournalRecord(record, bytes.data() + at), size);
        if (ends)
            ends->push_back(bytes.size());
    }
    return bytes;
}

std::vector<JournalRecord> Decode(const Bytes& bytes)
{
    std::vector<JournalRecord> records;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, bytes.data(), bytes.size());
    while (NextJournalRecord(&reader, &record))
        records.push_back(record);
    return records;
}

void ExpectSame(const JournalRecord& a, const JournalRecord& b)
{
    EXPECT_EQ(a.type, b.type);
    EXPECT_STREQ(a.path, b.path);
    EXPECT_STREQ(a.staged, b.staged);
    EXPECT_STREQ(a.backup, b.backup);
    EXPECT_EQ(a.hadOriginal, b.hadOriginal);
    EXPECT_EQ(a.oldAttributes, b.oldAttributes);
    EXPECT_EQ(a.newAttributes, b.newAttributes);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(memcmp(a.wideTarget, b.wideTarget, sizeof a.wideTarget), 0);
}

TEST(JournalFormat, EveryKindOfRecordReadsBackAsWritten)
{
    std::vector<JournalRecord> written = EveryKind();
    Bytes bytes = Encode(written);
    EXPECT_EQ(ReadJournalHeader(bytes.data(), bytes.size()), JournalHeaderValid);
    std::vector<JournalRecord> read = Decode(bytes);
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectSame(read[i], written[i]);
    }
}

// A power cut can leave the file ending anywhere in its last record (or, on some file systems, with zeros where
// the record was to be): only the records before it are read, never a half of one.
TEST(JournalFormat, CutAnywhereGivesExactlyTheWholeRecordsBeforeTheCut)
{
    std::vector<size_t> ends;
    std::vector<JournalRecord> written = EveryKind();
    Bytes whole = Encode(written, &ends);
    for (size_t cut = JournalHeaderSize; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut)
            ++complete;
        for (bool zeros : {false, true}) {
            Bytes torn(whole.begin(), whole.begin() + cut);
            if (zeros)
                torn.resize(whole.size(), 0);
            std::vector<JournalRecord> read = Decode(torn);
            ASSERT_EQ(read.size(), complete);
            if (complete)
                ExpectSame(read.back(), written[complete - 1]);
        }
    }
}

TEST(JournalFormat, ASpoiltByteEndsTheJournalAtItsRecord)
{
    std::vector<size_t> ends;
    Bytes whole = Encode(EveryKind(), &ends);
    // Every byte of the sixth record (a Replace): its length, its body, its checksum.
    for (size_t at = ends[4]; at < ends[5]; ++at) {
        SCOPED_TRACE(at);
        Bytes spoilt = whole;
        spoilt[at] ^= 0x04;
        EXPECT_EQ(Decode(spoilt).size(), 5u);
    }
}

// A journal of another version is told apart from a file that is no journal at all: the one may hold a job
// another updater left, and is reported, never acted on.
TEST(JournalFormat, HeaderOfOursTornForeignOrOfAnotherVersion)
{
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    struct {
        Bytes bytes;
        JournalHeaderState state;
    } cases[] = {
        {Bytes(header, header + JournalHeaderSize), JournalHeaderValid},
        {Bytes(), JournalHeaderTorn},
        {Bytes(header, header + 5), JournalHeaderTorn},
        {Bytes(header, header + 11), JournalHeaderTorn},
        {Bytes{'F', 'A', '2', 'X'}, JournalHeaderForeign},
        {Bytes{'[', 'S', 'E', 'T', 'U', 'P', ']', '\r', '\n', 'a', '=', '1'}, JournalHeaderForeign},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadJournalHeader(c.bytes.data(), c.bytes.size()), c.state) << c.bytes.size();
    for (uint32_t version : {1u, 3u, 0x102u}) {
        Bytes other(header, header + JournalHeaderSize);
        for (int i = 0; i < 4; ++i)
            other[8 + i] = (unsigned char)(version >> (8 * i));
        other.push_back(0x20);  // records of its own kind follow
        EXPECT_EQ(ReadJournalHeader(other.data(), other.size()), JournalHeaderOtherVersion) << version;
    }
}

TEST(JournalFormat, PathsMustFitThePlatformsBuffers)
{
    JournalRecord longest = Record(JournalStaged, std::string(259, 'p'));
    EXPECT_GT(JournalRecordSize(longest), 0u);
    JournalRecord tooLong = Record(JournalStaged);
    memset(tooLong.path, 'p', sizeof tooLong.path);  // no NUL inside the buffer
    EXPECT_EQ(JournalRecordSize(tooLong), 0u);
    unsigned char out[JournalRecordMaxSize];
    EXPECT_EQ(EncodeJournalRecord(tooLong, out), 0u);
    JournalRecord unknown = Record((JournalRecordType)11, "x");
    EXPECT_EQ(JournalRecordSize(unknown), 0u);
}

// Records that check out by their checksum but say impossible things are refused like torn ones.
TEST(JournalFormat, RecordsWithImpossibleFieldsAreNotRead)
{
    // A body, its length and checksum put together by hand, so every field can be made wrong.
    auto journal = [](const Bytes& body) {
        Bytes bytes(JournalHeaderSize);
        EncodeJournalHeader(bytes.data());
        uint32_t length = (uint32_t)body.size();
        uint32_t hash = 2166136261u;
        for (unsigned char c : body) {
            hash ^= c;
            hash *= 16777619u;
        }
        for (int i = 0; i < 4; ++i)
            bytes.push_back((unsigned char)(length >> (8 * i)));
        bytes.insert(bytes.end(), body.begin(), body.end());
        for (int i = 0; i < 4; ++i)
            bytes.push_back((unsigned char)(hash >> (8 * i)));
        return bytes;
    };
    Bytes path260 = {JournalStaged, 4, 1};
    path260.resize(3 + 260, 'p');
    struct {
        const char* label;
        Bytes body;
        size_t read;
    } cases[] = {
        {"a good one, to show the builder works", {JournalStaged, 1, 0, 'x'}, 1},
        {"unknown type", {11, 1, 0, 'x'}, 0},
        {"a Job record", {JournalJob, 1, 0, 'x', 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 1},
        {"a Job record without its tag", {JournalJob, 1, 0, 'x', 0, 0}, 0},
        {"text longer than its record", {JournalStaged, 5, 0, 'x'}, 0},
        {"a NUL inside a path", {JournalStaged, 2, 0, 'x', 0}, 0},
        {"a path of 260 bytes", path260, 0},
        {"bytes left over", {JournalStaged, 1, 0, 'x', 'y'}, 0},
        {"hadOriginal other than 0 or 1", {JournalReplace, 1, 0, 'a', 1, 0, 'b', 1, 0, 'c', 2}, 0},
        {"a real name", {JournalReplaceWide, 1, 0, 'a', 1, 0, 'b', 1, 0, 'c', 1, 1, 0, 'x', 0}, 1},
        {"a NUL inside the real name", {JournalReplaceWide, 1, 0, 'a', 1, 0, 'b', 1, 0, 'c', 1, 2, 0, 'x', 0, 0, 0}, 0},
        {"a real name longer than its record", {JournalReplaceWide, 1, 0, 'a', 1, 0, 'b', 1, 0, 'c', 1, 2, 0, 'x', 0},
         0},
        {"no body at all", {}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(journal(c.body)).size(), c.read) << c.label;
}

}  // namespace

namespace {

Bytes SealOf(const Bytes& journal)
{
    Bytes seal(journal.size());
    seal.resize(CopyJournalSeal(journal.data(), journal.size(), seal.data()));
    return seal;
}

bool Within(const Bytes& journal, const Bytes& seal)
{
    return JournalWithinSeal(journal.data(), journal.size(), seal.data(), seal.size()) != 0;
}

}  // namespace

// The seal holds the plan records alone, in order: the three marks of how far the commit went stay out of it.
TEST(JournalSeal, HoldsThePlanRecordsAsWritten)
{
    std::vector<JournalRecord> records = EveryKind(), plan;
    for (const JournalRecord& record : records)
        if (record.type != JournalCommitBegins && record.type != JournalCommitDone &&
            record.type != JournalCommitUndone)
            plan.push_back(record);
    EXPECT_EQ(SealOf(Encode(records)), Encode(plan));
    EXPECT_TRUE(SealOf(Bytes{'n', 'o'}).empty());
}

// A journal is within its seal when its plan records are the seal's, or the first of them (a kill after the
// sealing, before the file had the records, or a cut tail); anything else a planter could write is not.
TEST(JournalSeal, TheJournalMustHoldTheSealsStepsOrTheirStart)
{
    std::vector<JournalRecord> records = EveryKind();
    Bytes journal = Encode(records);
    Bytes seal = SealOf(journal);
    EXPECT_TRUE(Within(journal, seal));
    for (size_t cut = 0; cut <= journal.size(); ++cut)
        EXPECT_TRUE(Within(Bytes(journal.begin(), journal.begin() + (long)cut), seal)) << cut;

    std::vector<JournalRecord> changed = records;
    changed[3].path[10] ^= 1;  // one byte of a staged file's name
    std::vector<JournalRecord> added = records;
    added.push_back(Record(JournalStaged, "C:\\Windows\\system32\\x.dll"));
    std::vector<JournalRecord> dropped = records;
    dropped.erase(dropped.begin() + 2);  // a step left out, later ones kept
    std::vector<JournalRecord> otherJob = records;
    otherJob[0].time = 1;
    struct {
        const char* label;
        Bytes journal;
        Bytes seal;
        bool within;
    } cases[] = {
        {"a step changed", Encode(changed), seal, false},
        {"a step added", Encode(added), seal, false},
        {"a step left out", Encode(dropped), seal, false},
        {"another job's tag", Encode(otherJob), seal, false},
        {"a file that is no journal", Bytes{'n', 'o', 't', ' ', 'o', 'u', 'r', 's', 0, 0, 0, 0, 0}, seal, false},
        {"a seal without a Job record first", journal, Encode({Record(JournalStaged, "C:\\Games\\~ABCDEF00001")}),
         false},
        {"an empty seal", journal, Bytes(), false},
        {"the status marks come and go", Encode({records[0], Record(JournalCommitDone)}), seal, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Within(c.journal, c.seal), c.within) << c.label;
}
