// fa2 pack: a folder's files into an archive.
#include <cstdio>

#include "archive/archive_format.h"
#include "archive_writer.h"
#include "commands.h"
#include "file_io.h"
#include "stop_cleanup.h"

static const char PackUsage[] =
    "usage: fa2 pack DIR -o OUT.fa2 [--store] [--scramble] [--fast|--best] [--codec fa2|lzma] [--jobs 1|2]\n"
    "Packs the files directly inside DIR (sorted by name; sub-folders are skipped) as entries named by their\n"
    "bare file names, each compressed only where that makes it smaller, the table likewise.\n"
    "  -o, --output FILE  the archive to write\n"
    "  --store            compress nothing (entries and table)\n"
    "  --scramble         scramble every entry\n"
    "  --fast, --best     quicker or smaller compression than the default\n"
    "  --jobs N           LZMA: pieces of a file of 16 MiB or more compressed at once, 1 or 2 (default 2;\n"
    "                     the same archive either way)\n";

int RunPack(const std::vector<std::string>& args)
{
    if (WantsHelp(args)) {
        fputs(PackUsage, stdout);
        fputs(CodecHelp(), stdout);
        return 0;
    }
    std::vector<std::string> operands;
    std::string output;
    int store = 0, scramble = 0, fast = 0, best = 0, optionsDone = 0, jobs = 2;
    ArchiveCodec codec = CodecBlock;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsDone = 1;
        } else if (arg == "-o" || arg == "--output") {
            if (i + 1 >= args.size()) {
                CommandError("pack", arg + " needs a file name");
                return 2;
            }
            output = args[++i];
        } else if (arg.compare(0, 9, "--output=") == 0) {
            output = arg.substr(9);
        } else if (arg == "--codec" || arg.compare(0, 8, "--codec=") == 0) {
            std::string error;
            if (arg == "--codec" && i + 1 >= args.size()) {
                CommandError("pack", "--codec needs a name");
                return 2;
            }
            if (!ParseCodecName(arg == "--codec" ? args[++i] : arg.substr(8), &codec, &error)) {
                CommandError("pack", error);
                return 2;
            }
        } else if (arg == "--jobs" || arg.compare(0, 7, "--jobs=") == 0) {
            std::string value = arg == "--jobs" ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(7);
            if (value != "1" && value != "2") {
                CommandError("pack", "--jobs wants 1 or 2");
                return 2;
            }
            jobs = value[0] - '0';
        } else if (arg == "--store") {
            store = 1;
        } else if (arg == "--scramble") {
            scramble = 1;
        } else if (arg == "--fast") {
            fast = 1;
        } else if (arg == "--best") {
            best = 1;
        } else {
            CommandError("pack", "unknown option " + arg);
            return 2;
        }
    }
    if (operands.size() != 1 || output.empty()) {
        fputs(PackUsage, stderr);
        return 2;
    }
    if (fast + best + store > 1) {
        CommandError("pack", "--store, --fast and --best exclude each other");
        return 2;
    }
    const std::string& dir = operands[0];
    std::vector<std::string> names, skipped;
    std::string error;
    if (!ListFolderFiles(dir, &names, &skipped, &error)) {
        CommandError("pack", error);
        return 1;
    }
    for (const std::string& name : skipped)
        CommandError("pack", JoinPath(dir, name) + ": skipped: not a regular file");

    // Names first: a name the updater could not use should not cost a long compression.
    std::vector<std::string> entryNames(names.size());
    for (size_t i = 0; i < names.size(); i++) {
        std::string path = JoinPath(dir, names[i]);
        if (!Utf8ToCp932(names[i], &entryNames[i])) {
            CommandError("pack", path + ": the file name has no cp932 form");
            return 1;
        }
        if (entryNames[i].size() >= ArchiveNameSize) {
            CommandError("pack", path + ": the file name is longer than 259 bytes in cp932");
            return 1;
        }
        for (size_t k = 0; k < i; k++) {
            if (ArchiveNamesEqual(entryNames[k].c_str(), entryNames[i].c_str())) {
                CommandError("pack", path + ": its name differs from " + names[k] +
                                         " only in letter case, so the updater could never find it");
                return 1;
            }
        }
    }
    // Entry by entry into a temporary file beside the output, which takes the output's place at the end.
    std::string temporary = output + ".fa2-pack.tmp", scratchPath = output + ".fa2-entry.tmp";
    RemoveFileQuietly(temporary);
    RemoveFileQuietly(scratchPath);
    InstallStopHandlers();
    RemoveOnStop(0, temporary);
    RemoveOnStop(1, scratchPath);
    FILE* file = CreateNewFile(temporary, &error);
    FILE* scratch = file ? CreateNewFile(scratchPath, &error) : nullptr;
    if (!scratch) {
        if (file) {
            fclose(file);
            RemoveFileQuietly(temporary);
        }
        CommandError("pack", error);
        return 1;
    }
    WriterOptions options;
    options.table = store ? PackStore : PackCompressIfSmaller;
    options.level = fast ? EncodeFast : best ? EncodeBest : EncodeDefault;
    options.codec = codec;
    options.threads = jobs;
    options.scratch = scratch;
    ArchiveWriter writer;
    int ok = StartArchive(&writer, FileSink(file), options);
    for (size_t i = 0; ok && i < names.size(); i++) {
        std::string path = JoinPath(dir, names[i]);
        uint64_t fileTime;
        ok = GetFileTimeValue(path, &fileTime, &error) &&
             AddArchiveFile(&writer, entryNames[i], path, fileTime, store ? PackStore : PackCompressIfSmaller,
                            scramble, &error);
    }
    ok = ok && FinishArchive(&writer, &error);
    fclose(scratch);
    RemoveFileQuietly(scratchPath);
    if (fclose(file) != 0 && ok) {
        ok = 0;
        error = temporary + ": write error";
    }
    int placed = ok && ReplaceFileWith(temporary, output, &error);
    KeepOnStop(0);
    KeepOnStop(1);
    if (!placed) {
        RemoveFileQuietly(temporary);
        CommandError("pack", error.empty() ? "write error" : error);
        return 1;
    }
    printf("%llu entries, %llu bytes packed into %llu bytes\n", (unsigned long long)names.size(),
           (unsigned long long)writer.inputBytes, (unsigned long long)writer.size);
    return 0;
}
