#pragma once
// The files of an update's source folder, as fa2 build sees them: every regular file below it, each with the
// archive entry name the updater would look it up by (its bare file name in cp932).
#include <cstdint>
#include <string>
#include <vector>

struct SourceFile {
    std::string path;    // UTF-8, for reading
    std::string shown;   // UTF-8, the folder as given joined with the path below it
    std::string entry;   // cp932 entry name; empty when the name has none (see `nameProblem`)
    std::string nameProblem;  // why the file cannot be an entry, or empty
    uint64_t size;
    int named;  // UPDATE.INI, an item or an agreement key names it: it is packed
    int plain;  // must stay unscrambled: the updater loads it without descrambling
    // Where the UpdateFile items that name it put it, relative to the game folder (cp932, backslashes): a `d`
    // item's file is written only where it is missing, so it has no old file and is not listed.
    std::vector<std::string> itemPaths;
};

// Something below the folder that is not a file fa2 can pack (a FIFO, a link to nothing), or a file whose name
// has no entry name, kept so that an item naming it is told what it is.
struct SourceOther {
    std::string shown;
    std::string entry;  // the entry name it would have (cp932), or empty
    std::string what;   // "a FIFO (named pipe)", ...
};

struct SourceFolder {
    std::vector<SourceFile> files;     // in entry-name order (then by path)
    std::vector<std::string> skipped;  // what is never packed, with why: "PATH (a hidden folder)"
    std::vector<SourceOther> others;   // non-files and unnamable files, for the messages about items
};

// Walks `dir`. 0 with `error` set when a folder cannot be read.
int ReadSourceFolder(const std::string& dir, SourceFolder* folder, std::string* error);

// The first file whose entry name matches `entry` as the updater compares names, or null.
SourceFile* FindSourceEntry(SourceFolder* folder, const std::string& entry);
// Every file whose entry name matches (two or more when names differ only in case or live in two sub-folders).
std::vector<SourceFile*> SourceEntries(SourceFolder* folder, const std::string& entry);
// Something that would carry the entry name but cannot be packed, or null.
const SourceOther* FindSourceOther(const SourceFolder* folder, const std::string& entry);
