// Entry extraction in the 32-bit updater's code, under Wine (a benchmark, not a test).
//   win32_extract_bench                 one 300 MB game-like entry: the streamed ExtractEntry against the
//                                       whole-buffer extraction it replaced, and the decoder alone against zlib
//   win32_extract_bench ARCHIVE [DIR]   every entry of an archive or updater through ExtractEntry into DIR: time,
//                                       speed, and the process's memory before and after
// Memory figures: GetProcessMemoryInfo's (Wine fills the working set and the commit charge, which is the private
// bytes; not PrivateUsage). The peak resident set of the Wine process (VmHWM) can only be read from outside:
// bench/huge_entry_run.sh does that, and this program leaves a file `.archive-loaded` in DIR when it starts
// extracting, so the script can reset the peak there.
#include <windows.h>
#include <psapi.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/block_decoder.h"
#include "archive/entry_stream.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "corpus.h"
#include "raw_deflate.h"
#include "support/whole_file.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point from)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void PrintMemory(const char* when)
{
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    printf("  %-24s private (commit) %8.1f MB, working set %8.1f MB, peak working set %8.1f MB\n", when,
           counters.PagefileUsage / 1048576.0, counters.WorkingSetSize / 1048576.0,
           counters.PeakWorkingSetSize / 1048576.0);
}

// The extraction as it was before streaming: descrambled copy and decoded buffer of the whole entry, then one
// write through SaveWholeFile.
int ExtractWhole(const ArchiveTable* table, const char* name, const char* destination)
{
    const ArchiveEntry* entry;
    uint64_t offset;
    if (!FindArchiveEntry(table, name, &entry, &offset) || !CheckEntryData(entry, offset, ArchiveImageSize))
        return 0;
    unsigned char* copy = EntryNeedsCopy(entry) ? (unsigned char*)GlobalAlloc(GMEM_FIXED, entry->storedSize + 1)
                                                : nullptr;
    unsigned char* decoded =
        EntryNeedsDecoding(entry) ? (unsigned char*)GlobalAlloc(GMEM_FIXED, entry->unpackedSize + 1) : nullptr;
    const unsigned char* data = DecodeEntryData(entry, ArchiveImage + offset, copy, decoded);
    FILETIME time = {entry->fileTime.lowDateTime, entry->fileTime.highDateTime};
    int ok = data && SaveWholeFile(destination, data, entry->unpackedSize, &time);
    if (copy)
        GlobalFree(copy);
    if (decoded)
        GlobalFree(decoded);
    return ok;
}

int Discard(void*, const unsigned char*, size_t) { return 1; }

int CompareStreamedWithWhole()
{
    const size_t size = 300u << 20;
    std::vector<CorpusFile> files = BuildGameCorpus(size);
    WriterEntry entry;
    entry.name = "game.dat";
    entry.fileTime = 132223104000000000ull;
    entry.storage = PackCompressAlways;
    entry.scramble = 0;
    entry.data.reserve(size);
    for (const CorpusFile& f : files)
        entry.data.insert(entry.data.end(), f.data.begin(), f.data.end());
    files.clear();
    std::vector<unsigned char> image;
    std::string error;
    WriterOptions options = {PackStore, EncodeFast};
    auto t = std::chrono::steady_clock::now();
    if (!WriteArchive({entry}, options, &image, &error)) {
        printf("archive: %s\n", error.c_str());
        return 1;
    }
    printf("300 MB game-like entry (%zu bytes) packed (fast level) into %zu bytes in %.1f s\n", entry.data.size(),
           image.size(), Seconds(t));
    ArchiveImage = image.data();
    ArchiveImageSize = (uint32_t)image.size();
    ArchiveTable* table = OpenArchive(image.data(), (uint32_t)image.size());
    const ArchiveEntry* record;
    uint64_t offset;
    if (!table || !FindArchiveEntry(table, "game.dat", &record, &offset)) {
        printf("the archive does not open\n");
        return 1;
    }

    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string whole = std::string(folder) + "bench_whole.dat", streamed = std::string(folder) + "bench_streamed.dat";
    double bestWhole = 1e30, bestStreamed = 1e30;
    for (int round = 0; round < 3; ++round) {
        t = std::chrono::steady_clock::now();
        if (!ExtractWhole(table, "game.dat", whole.c_str()))
            return printf("whole-buffer extraction failed\n"), 1;
        bestWhole = std::min(bestWhole, Seconds(t));
        t = std::chrono::steady_clock::now();
        if (!ExtractEntry(table, "game.dat", streamed.c_str(), 0))
            return printf("ExtractEntry failed\n"), 1;
        bestStreamed = std::min(bestStreamed, Seconds(t));
        DeleteFileA(whole.c_str());
        DeleteFileA(streamed.c_str());
    }
    double mb = entry.data.size() / 1e6;
    printf("extraction into a file (best of 3, alternating): whole-buffer %.2f s (%.0f MB/s), streamed %.2f s "
           "(%.0f MB/s): streamed/whole time %.2fx\n",
           bestWhole, mb / bestWhole, bestStreamed, mb / bestStreamed, bestStreamed / bestWhole);

    // The decoder alone, on the same block: into one whole-entry buffer (fresh, and reused), in pieces through
    // the streaming window, and zlib inflate of the same bytes.
    const unsigned char* block = image.data() + offset;
    std::vector<unsigned char> deflated = RawDeflate9(entry.data);
    size_t workspaceSize;
    EntryWorkspaceSize(record, block, &workspaceSize);
    std::vector<unsigned char> workspace(workspaceSize), reused(entry.data.size());
    z_stream z;
    memset(&z, 0, sizeof z);
    inflateInit2(&z, -15);
    double fresh = 1e30, again = 1e30, pieces = 1e30, inflated = 1e30;
    for (int round = 0; round < 3; ++round) {
        t = std::chrono::steady_clock::now();
        unsigned char* buffer = (unsigned char*)GlobalAlloc(GMEM_FIXED, entry.data.size());
        if (!DecompressBlock(buffer, entry.data.size(), block, record->storedSize))
            return printf("decode failed\n"), 1;
        GlobalFree(buffer);
        fresh = std::min(fresh, Seconds(t));
        t = std::chrono::steady_clock::now();
        DecompressBlock(reused.data(), reused.size(), block, record->storedSize);
        again = std::min(again, Seconds(t));
        t = std::chrono::steady_clock::now();
        if (StreamEntry(record, block, workspace.data(), workspace.size(), Discard, nullptr) != EntryStreamDone)
            return printf("streamed decode failed\n"), 1;
        pieces = std::min(pieces, Seconds(t));
        t = std::chrono::steady_clock::now();
        inflateReset(&z);
        z.next_in = deflated.data();
        z.avail_in = (uInt)deflated.size();
        z.next_out = reused.data();
        z.avail_out = (uInt)reused.size();
        if (inflate(&z, Z_FINISH) != Z_STREAM_END)
            return printf("inflate failed\n"), 1;
        inflated = std::min(inflated, Seconds(t));
    }
    inflateEnd(&z);
    printf("decoder alone, MB/s of output (best of 3): whole into a fresh buffer %.0f, whole into a reused buffer "
           "%.0f, streamed in pieces %.0f, zlib -9 inflate %.0f (its data %zu bytes, ours %u); streamed/zlib %.2fx\n",
           mb / fresh, mb / again, mb / pieces, mb / inflated, deflated.size(), record->storedSize, inflated / pieces);
    return 0;
}

int ExtractArchive(const char* path, const char* folder)
{
    PrintMemory("at start");
    std::vector<unsigned char> bytes;
    std::string error;
    LoadedArchive loaded;
    if (!LoadArchiveInput(path, &bytes, &error) || !OpenLoadedArchive(&bytes, &loaded, &error)) {
        printf("%s: %s\n", path, error.c_str());
        return 1;
    }
    ArchiveImage = loaded.image.data();
    ArchiveImageSize = (uint32_t)loaded.image.size();
    ArchiveTable* table = OpenArchive(ArchiveImage, ArchiveImageSize);
    if (!table) {
        printf("OpenArchive refused it\n");
        return 1;
    }
    CreateDirectoryA(folder, nullptr);
    PrintMemory("archive in memory");
    HANDLE marker = CreateFileA((std::string(folder) + "\\.archive-loaded").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    CloseHandle(marker);
    Sleep(1000);  // time for a watcher to take the resident set here and reset the peak
    uint64_t total = 0;
    auto all = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < table->header.entryCount; ++i) {
        const ArchiveEntry* entry = &ArchiveTableEntries(table)[i];
        std::string name = EntryName(entry), target = std::string(folder) + "\\" + name;
        auto t = std::chrono::steady_clock::now();
        if (!ExtractEntry(table, name.c_str(), target.c_str(), 0)) {
            printf("%s: extraction failed\n", name.c_str());
            return 1;
        }
        double s = Seconds(t);
        total += entry->unpackedSize;
        if (entry->unpackedSize >= (16u << 20))
            printf("  %s: %u bytes (method %d) in %.2f s, %.0f MB/s\n", name.c_str(), entry->unpackedSize,
                   (int)EntryMethodOf(entry), s, entry->unpackedSize / s / 1e6);
    }
    double s = Seconds(all);
    printf("%u entries, %llu bytes extracted in %.2f s (%.0f MB/s)\n", table->header.entryCount,
           (unsigned long long)total, s, total / s / 1e6);
    PrintMemory("after the extractions");
    DeleteFileA((std::string(folder) + "\\.archive-loaded").c_str());
    GlobalFree(table);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2)
        return ExtractArchive(argv[1], argc >= 3 ? argv[2] : "C:\\extract-bench");
    return CompareStreamedWithWhole();
}
