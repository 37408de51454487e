#include "source_folder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "archive/archive_format.h"
#include "file_io.h"
#include "text_encoding.h"

namespace fs = std::filesystem;

namespace {

// A name that is not UTF-8 but reads as cp932: a file saved under its Shift-JIS name on a UTF-8 system.
int IsCp932Name(const std::string& name)
{
    int line;
    std::string utf8;
    return DetectTextEncoding((const unsigned char*)name.data(), name.size(), &line) != TextUtf8 &&
           Cp932ToUtf8(name, &utf8) && utf8 != name;
}

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
        file.nameProblem = IsCp932Name(name) ? "its name is written in Shift-JIS (cp932), not in this system's UTF-8"
                                             : "its name has no Shift-JIS (cp932) form";
    } else if (file.entry.size() >= ArchiveNameSize) {
        file.entry.clear();
        file.nameProblem = "its name is longer than 259 bytes in Shift-JIS";
    }
    return file;
}

// A name's bytes as an entry name when they are cp932 as they stand (a file saved under its Shift-JIS name).
std::string RawEntryName(const std::string& name)
{
    if (IsCp932Name(name))
        return name;
    std::string entry;
    return Utf8ToCp932(name, &entry) ? entry : std::string();
}

// What a non-file below the folder is, in a few words.
std::string KindOf(const std::string& path)
{
    std::error_code code;
    fs::path p = fs::u8path(path);
    fs::file_status link = fs::symlink_status(p, code), target = fs::status(p, code);
    if (fs::is_symlink(link) && !fs::exists(target))
        return "a link to nothing (dangling)";
    if (fs::is_symlink(link) && fs::is_directory(target))
        return "a link to a folder";
    switch (target.type()) {
    case fs::file_type::fifo: return "a FIFO (named pipe)";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    case fs::file_type::directory: return "a folder";
    default: return "not a regular file";
    }
}

int Walk(const std::string& dir, const std::string& shownDir, SourceFolder* folder, std::string* error)
{
    std::vector<std::string> names, others;
    if (!ListFolderFiles(dir, &names, &others, error))
        return 0;
    for (const std::string& name : names) {
        folder->files.push_back(MakeSourceFile(dir, shownDir, name));
        const SourceFile& f = folder->files.back();
        std::string utf8;
        if (IsCp932Name(name) && Cp932ToUtf8(name, &utf8))
            folder->others.push_back({JoinPath(shownDir, utf8), name,
                                      "a file whose name is written in Shift-JIS (cp932), not in this system's "
                                      "UTF-8: rename it (convmv -f cp932 -t utf-8 --notest)"});
        else if (!f.nameProblem.empty())
            folder->others.push_back({f.shown, RawEntryName(name), "a file whose " + f.nameProblem});
    }
    for (const std::string& name : others) {
        std::string path = JoinPath(dir, name), shown = JoinPath(shownDir, name);
        std::string kind = KindOf(path);
        // A hidden folder is a tool's (.git, .svn); a linked one could lead back up the tree.
        if (kind != "a folder") {
            folder->skipped.push_back(shown + " (" + kind + ")");
            folder->others.push_back({shown, RawEntryName(name), kind + ", not a regular file"});
        } else if (name[0] == '.')
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
    folder->others.clear();
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

const SourceOther* FindSourceOther(const SourceFolder* folder, const std::string& entry)
{
    for (const SourceOther& o : folder->others)
        if (!o.entry.empty() && o.entry.size() < ArchiveNameSize && ArchiveNamesEqual(o.entry.c_str(), entry.c_str()))
            return &o;
    return nullptr;
}
