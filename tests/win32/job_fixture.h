#pragma once
// The update archive of the job's tests, opened as the start-up opens it: over an image that lives for the rest of
// the process, as the payload does.
#include <cstdint>
#include <string>
#include <vector>

#include "job/journal_format.h"

extern const unsigned long long EntryTime;  // every entry's time: 2019, in 100 ns units
extern const unsigned long long Second;

struct FixtureEntry {
    std::string name;
    std::string data;
    bool damaged = false;  // compressed, with its first code word spoilt: found only while it is decoded
};

// Entries holding "new-<name>", in every storage form the job may meet (the archive's own tests cover them in
// depth).
void UseArchive(const std::vector<std::string>& names);
void UseArchiveEntries(const std::vector<FixtureEntry>& entries);
// One delta entry `name`: the file at `newPath` against the one at `oldPath` (paths fa2's writer opens).
void UseDeltaArchive(const std::string& name, const std::string& oldPath, const std::string& newPath);
// Lets the opened table go.
void DropArchive();

// The start-up's values a job reads: a Japanese update's caption, wording, title and game, silent missing keys, no data
// folder, no disc check files, and an installation of type 1 in `inst` with its data folder `data`.
void UseJobValues(const std::string& inst, const std::string& data);

// Journal records and journals as the job writes them, for the tests that hand the settling one.
JournalRecord Record(JournalRecordType type, const std::string& path = "", const std::string& staged = "",
                     const std::string& backup = "");
JournalRecord JobRecord(const std::string& inst, const std::string& data, uint64_t tag = 35);
// The header (of journal format `version`) and `records`.
std::string JournalBytes(const std::vector<JournalRecord>& records, uint32_t version = JournalVersion);
