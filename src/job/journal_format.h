#pragma once
// The update job's journal: one small file in the installation folder that says, ahead of every step, what the job
// is about to do to the player's files, so that a run that dies is undone (or finished) by the next start.
// Portable: the encoding and the reader take no platform calls, so the reader of this file that a crash may leave
// torn is tested and fuzzed natively.
//
// File: the 8 magic bytes "FA2JRNL" and NUL, a u32 version, then records. A record is a u32 body length, the body
// (a type byte and the type's fields) and a u32 checksum of the body. Texts are a u16 length and that many bytes;
// numbers are little-endian. Records are only ever appended, so a crash can only tear the last one. The first record
// is a Job record: the folders every other record's paths lie in, and the job's tag, which its files' names carry.
#include <cstddef>
#include <cstdint>

const size_t JournalHeaderSize = 12;
const uint32_t JournalVersion = 2;
// Every path a record holds fits the platform's 260-byte buffers with its NUL.
const size_t JournalPathSize = 260;
// No record is longer than this (three paths of 259 bytes and a UTF-16 one of 259 units, with their lengths, and
// the fixed fields).
const size_t JournalRecordMaxSize = 4 + 1 + 3 * (2 + 259) + (2 + 2 * 259) + 12 + 4;

enum JournalRecordType : uint8_t {
    JournalFolderTime = 1,    // path, time: a folder the job writes into and its last-write time before the job
    JournalCreateFolder = 2,  // path: a folder the job creates (removed again by a rollback)
    JournalStaged = 3,        // path: a staged file the job writes (deleted by a rollback)
    JournalCommitBegins = 4,  // the staged files are complete; the records up to CommitDone say how they go in
    JournalReplace = 5,       // path (the target), staged, backup, hadOriginal: target -> backup, staged -> target
    JournalAttributes = 6,    // path, oldAttributes, newAttributes: attributes the commit changes in place
    JournalCommitDone = 7,    // every commit step was taken; only the backups are left to remove
    JournalReplaceWide = 8,   // a Replace whose target the ANSI calls reach only by its short name, which names
                              // nothing once the file is moved aside: wideTarget is its real (long) name
    JournalJob = 9,           // path: the installation folder, staged: the data folder (may be empty), time: the
                              // tag in every staged and backup name; always the first record
    JournalCommitUndone = 10, // a rollback put every target back and every attribute; only the staged files and
                              // the created folders are left to remove
};

struct JournalRecord {
    JournalRecordType type;
    char path[JournalPathSize];
    char staged[JournalPathSize];
    char backup[JournalPathSize];
    uint8_t hadOriginal;  // JournalReplace: the target existed when the commit began
    uint32_t oldAttributes, newAttributes;
    uint64_t time;  // JournalFolderTime: 100 ns units since 1601
    uint16_t wideTarget[JournalPathSize];  // JournalReplaceWide: UTF-16, NUL-terminated
};

// Writes the JournalHeaderSize header bytes.
void EncodeJournalHeader(unsigned char* out);

// The encoded length of `record` (at most JournalRecordMaxSize); 0 when it cannot be encoded (an unknown type, or
// a path of JournalPathSize bytes or more).
size_t JournalRecordSize(const JournalRecord& record);

// Encodes `record` into `out` (JournalRecordSize bytes) and returns that length, or 0 as JournalRecordSize does.
size_t EncodeJournalRecord(const JournalRecord& record, unsigned char* out);

enum JournalHeaderState {
    JournalHeaderValid,   // ours: records follow
    JournalHeaderTorn,    // shorter than a header, and what is there is the start of ours: nothing was recorded
    JournalHeaderForeign, // not a journal of ours: leave it alone
    JournalHeaderOtherVersion,  // a journal of another version of the format: never acted on
};

JournalHeaderState ReadJournalHeader(const unsigned char* bytes, size_t size);

// Walks the records after the header. Every length is checked against the bytes there are.
struct JournalReader {
    const unsigned char* bytes;
    size_t size;
    size_t at;
};

void StartJournalReader(JournalReader* reader, const unsigned char* bytes, size_t size);

// The next record into `record`: 1, or 0 at the end and at the first record that is incomplete, fails its checksum
// or does not decode (a torn tail; nothing after it is read).
int NextJournalRecord(JournalReader* reader, JournalRecord* record);

// The seal of a journal: its header and its plan records (every record but the three that mark how far the commit
// went), byte for byte as the job wrote them. The job keeps it where only administrators can write, before the
// journal's file gets those records.
int IsJournalPlanRecord(JournalRecordType type);

// Writes the seal of the journal `bytes` into `out` (at least `size` bytes) and returns its length; 0 when the
// journal has no valid header.
size_t CopyJournalSeal(const unsigned char* bytes, size_t size, unsigned char* out);

// 1 when `seal` is a seal (a valid header, a Job record first) and every plan record of the journal, in order, is
// the seal's record at the same place: the journal holds the seal's plan or the start of it (a kill can come after
// the sealing and before the file has the records). A journal whose header is torn holds nothing and matches.
int JournalWithinSeal(const unsigned char* journal, size_t journalSize, const unsigned char* seal, size_t sealSize);
