#include "source_folder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "archive/archive_format.h"
#include "file_io.h"

namespace fs = std::filesystem;

namespace {

SourceFile MakeSourceFile(const std::string& dir, const std::string& shownDir, const std::string& name)
{
    SourceFile file;
    file.path = JoinPath(dir, name);
    file.shown = JoinPath(shownDir, name);
    file.size = 0;
    file.named = 0;
    file.plain = 0;
    std::error_code code;
    uintmax_t size = fs::file_size(fs::u8path(file.path), code);
    if (!code)
        file.size = size;
    if (!Utf8ToCp932(name, &file.entry)) {
        file.entry.clear();
        file.nameProblem = "its name has no Shift-JIS (cp932) form";
    } else if (file.entry.size() >= ArchiveNameSize) {
        file.entry.clear();
        file.nameProblem = "its name is longer than 259 bytes in Shift-JIS";
    }
    return file;
}

int Walk(const std::string& dir, const std::string& shownDir, SourceFolder* folder, std::string* error)
{
    std::vector<std::string> names, others;
    if (!ListFolderFiles(dir, &names, &others, error))
        return 0;
    for (const std::string& name : names)
        folder->files.push_back(MakeSourceFile(dir, shownDir, name));
    for (const std::string& name : others) {
        std::string path = JoinPath(dir, name), shown = JoinPath(shownDir, name);
        std::error_code code;
        // A hidden folder is a tool's (.git, .svn); a linked one could lead back up the tree.
        if (fs::is_symlink(fs::u8path(path), code))
            folder->skipped.push_back(shown + " (a link to a folder)");
        else if (!fs::is_directory(fs::u8path(path), code))
            folder->skipped.push_back(shown + " (not a regular file)");
        else if (name[0] == '.')
            folder->skipped.push_back(shown + " (a hidden folder)");
        else if (!Walk(path, shown, folder, error))
            return 0;
    }
    return 1;
}

}  // namespace

int ReadSourceFolder(const std::string& dir, SourceFolder* folder, std::string* error)
{
    folder->files.clear();
    folder->skipped.clear();
    if (!Walk(dir, dir, folder, error))
        return 0;
    std::sort(folder->files.begin(), folder->files.end(), [](const SourceFile& a, const SourceFile& b) {
        return a.entry < b.entry || (a.entry == b.entry && a.shown < b.shown);
    });
    return 1;
}

SourceFile* FindSourceEntry(SourceFolder* folder, const std::string& entry)
{
    for (SourceFile& f : folder->files)
        if (!f.entry.empty() && ArchiveNamesEqual(f.entry.c_str(), entry.c_str()))
            return &f;
    return nullptr;
}

std::vector<SourceFile*> SourceEntries(SourceFolder* folder, const std::string& entry)
{
    std::vector<SourceFile*> found;
    for (SourceFile& f : folder->files)
        if (!f.entry.empty() && ArchiveNamesEqual(f.entry.c_str(), entry.c_str()))
            found.push_back(&f);
    return found;
}
