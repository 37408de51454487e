#include "job_fixture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "archive/archive.h"
#include "job/job_seal.h"
#include "settings/setup_settings.h"
#include "support/globals.h"
#include "support/little_endian.h"
#include "support/updater_values.h"
#include "archive_writer.h"

const unsigned long long EntryTime = 0x01D5A1B2C3D4E5F0ull;
const unsigned long long Second = 10000000ull;

namespace {

std::vector<unsigned char> ImageBytes;

}  // namespace

void UseArchive(const std::vector<std::string>& names)
{
    std::vector<FixtureEntry> entries;
    for (const std::string& name : names)
        entries.push_back(FixtureEntry{name, "new-" + name});
    UseArchiveEntries(entries);
}

void UseArchiveEntries(const std::vector<FixtureEntry>& fixtures)
{
    std::vector<WriterEntry> entries;
    int index = 0;
    for (const FixtureEntry& fixture : fixtures) {
        WriterEntry entry;
        entry.name = fixture.name;
        entry.data.assign(fixture.data.begin(), fixture.data.end());
        entry.fileTime = EntryTime;
        entry.storage = index % 2 || fixture.damaged ? PackCompressAlways : PackStore;
        entry.scramble = index % 3 == 0 && !fixture.damaged;
        entries.push_back(entry);
        ++index;
    }
    WriterOptions options{PackCompressIfSmaller, EncodeFast};
    std::string error;
    DropArchive();
    ImageBytes.clear();
    ASSERT_EQ(WriteArchive(entries, options, &ImageBytes, &error), 1) << error;
    for (const FixtureEntry& fixture : fixtures) {
        if (!fixture.damaged)
            continue;
        ArchiveTable* table = OpenArchive(ImageBytes.data(), (uint32_t)ImageBytes.size());
        ASSERT_NE(table, nullptr);
        const ArchiveEntry* entry;
        uint64_t offset;
        ASSERT_TRUE(FindArchiveEntry(table, fixture.name.c_str(), &entry, &offset));
        memset(ImageBytes.data() + offset, 0, 4);
        GlobalFree(table);
    }
    ArchiveImage = ImageBytes.data();
    ArchiveImageSize = (uint32_t)ImageBytes.size();
    UpdateArchive = OpenArchive(ImageBytes.data(), (uint32_t)ImageBytes.size());
    ASSERT_NE(UpdateArchive, nullptr);
}

void UseDeltaArchive(const std::string& name, const std::string& oldPath, const std::string& newPath)
{
    WriterOptions options{PackCompressIfSmaller, EncodeFast};
    options.scratch = tmpfile();
    options.deltaBody = tmpfile();
    options.deltaStored = tmpfile();
    ASSERT_TRUE(options.scratch && options.deltaBody && options.deltaStored);
    DropArchive();
    ImageBytes.clear();
    ArchiveWriter writer;
    DeltaOutcome outcome;
    std::string error;
    ASSERT_TRUE(StartArchive(&writer, VectorSink(&ImageBytes), options));
    std::vector<std::string> bases;
    ASSERT_TRUE(AddArchiveDelta(&writer, name, newPath, {oldPath}, EntryTime, 0, 0, &outcome, &bases, &error))
        << error;
    ASSERT_EQ(outcome, DeltaWritten);
    ASSERT_TRUE(FinishArchive(&writer, &error)) << error;
    for (FILE* f : {options.scratch, options.deltaBody, options.deltaStored})
        fclose(f);
    ArchiveImage = ImageBytes.data();
    ArchiveImageSize = (uint32_t)ImageBytes.size();
    UpdateArchive = OpenArchive(ImageBytes.data(), (uint32_t)ImageBytes.size());
    ASSERT_NE(UpdateArchive, nullptr);
}

void DropArchive()
{
    if (UpdateArchive)
        GlobalFree(UpdateArchive);
    UpdateArchive = nullptr;
}

void UseJobValues(const std::string& inst, const std::string& data)
{
    lstrcpyA(WindowCaption, "表示ゲーム アップデート");
    lstrcpyA(ModeWord, "アップデート");
    lstrcpyA(GameTitle, "表示ゲーム");
    // The game's name in the registry, which names its job's seal.
    lstrcpyA(CompanyName, "ソフト会社");
    lstrcpyA(GameDir, "UpdTestGame");
    NameJobSeal(CompanyName, GameDir);
    MissingKeySilent = 1;
    DataFolder[0] = '\0';
    memset(&SetupSettings, 0, sizeof SetupSettings);
    memset(&InstallRecord, 0, sizeof InstallRecord);
    lstrcpyA(InstallRecord.InstPath, inst.c_str());
    lstrcpyA(InstallRecord.DataPath, data.c_str());
    InstallRecord.InstMode = 1;
}

JournalRecord Record(JournalRecordType type, const std::string& path, const std::string& staged,
                     const std::string& backup)
{
    JournalRecord record;
    memset(&record, 0, sizeof record);
    record.type = type;
    lstrcpyA(record.path, path.c_str());
    lstrcpyA(record.staged, staged.c_str());
    lstrcpyA(record.backup, backup.c_str());
    return record;
}

JournalRecord JobRecord(const std::string& inst, const std::string& data, uint64_t tag)
{
    JournalRecord record = Record(JournalJob, inst, data);
    record.time = tag;
    return record;
}

std::string JournalBytes(const std::vector<JournalRecord>& records, uint32_t version)
{
    unsigned char header[JournalHeaderSize];
    EncodeJournalHeader(header);
    StoreLe32(header + 8, version);
    std::string bytes((const char*)header, sizeof header);
    for (const JournalRecord& record : records) {
        unsigned char encoded[JournalRecordMaxSize];
        size_t size = EncodeJournalRecord(record, encoded);
        EXPECT_GT(size, 0u);
        bytes.append((const char*)encoded, size);
    }
    return bytes;
}
