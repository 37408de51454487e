#pragma once
// An in-memory file system behind the job's file-call table (support/file_calls.h), for tests that need what a
// Wine prefix cannot give: directory junctions and symbolic links followed as Windows follows them (and not where
// FILE_FLAG_OPEN_REPARSE_POINT says so), hard links, owners, share modes, and a kill, a full disk or a failed flush
// at any mutating call. Drive C: is a fixed disk, D: a CD-ROM drive. Paths are cp932 text, as the job's are.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct MemoryFiles {
    MemoryFiles();   // an empty C: and D:, installed as the job's file calls
    ~MemoryFiles();  // the real calls back
    MemoryFiles(const MemoryFiles&) = delete;
    MemoryFiles& operator=(const MemoryFiles&) = delete;

    // Building a fixture: every folder on the way must be there. `owner` owns what follows; what the job creates is
    // the Administrators group's.
    void Folder(const std::string& path);
    void File(const std::string& path, const std::string& data, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void Junction(const std::string& path, const std::string& target);
    void SymbolicLink(const std::string& path, const std::string& target, bool folder);
    void HardLink(const std::string& path, const std::string& existing);
    void Remove(const std::string& path);  // a name (a file, a link, an empty folder), as another user would
    void Rename(const std::string& from, const std::string& to);
    std::string owner = "Administrators";

    // Reading back, without following a link at the end.
    bool Exists(const std::string& path);
    std::string Read(const std::string& path);  // follows links, as a program reading it would
    DWORD Attributes(const std::string& path);
    uint64_t LastWrite(const std::string& path);
    std::string OwnerOf(const std::string& path);
    std::vector<std::string> Names(const std::string& folder);
    // Every name below `folder` with its kind, attributes, times, links and bytes: equal snapshots, equal trees.
    std::string Snapshot(const std::string& folder);
    // The same without times and owners: what a player sees of the files.
    std::string Contents(const std::string& folder);

    // Failures, counted over mutating calls (1 = the first). Kill: that call and everything after it fails, as if
    // the process had died there; DiskFull: from that call on nothing grows; FlushFails: the first flush from then.
    enum Failure { None, Kill, DiskFull, FlushFails };
    void FailAt(int call, Failure kind);
    int MutatingCalls();
    // After a kill: the dead process's handles are closed and the next "process" may run.
    void Revive();
};
