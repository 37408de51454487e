// fa2: the publisher's archive tool.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmd_build.h"
#include "commands.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
    const char* summary;
};

static const Command Commands[] = {
    {"list", RunList, "list ARCHIVE                      show the entries"},
    {"extract", RunExtract, "extract ARCHIVE DIR [NAME...]     write entries into a folder"},
    {"verify", RunVerify, "verify ARCHIVE                    decode everything, report damage"},
    {"decode-block", RunDecodeBlock, "decode-block --size N IN OUT      decode one raw compressed block"},
    {"pack", RunPack, "pack DIR -o OUT.fa2 [options]     pack a folder's files"},
    {"build", RunBuild, "build DIR -o OUT.exe [options]    make an updater from a folder"},
};


static void PrintUsage(FILE* out)
{
    fputs("usage: fa2 COMMAND [ARGS...]\n\nCommands:\n", out);
    for (const Command& command : Commands)
        fprintf(out, "  %s\n", command.summary);
    fputs("\n'fa2 COMMAND --help' describes a command.\n", out);
}

// The arguments as UTF-8: Windows hands the ANSI ones over in the system code page.
static std::vector<std::string> Arguments(int argc, char** argv)
{
    std::vector<std::string> args;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; i++) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? bytes : 1, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &arg[0], bytes, nullptr, nullptr);
        arg.resize(strlen(arg.c_str()));
        args.push_back(arg);
    }
    if (wide)
        LocalFree(wide);
#else
    for (int i = 1; i < argc; i++)
        args.push_back(argv[i]);
#endif
    return args;
}

int main(int argc, char** argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    std::vector<std::string> args = Arguments(argc, argv);
    if (args.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintUsage(stdout);
        return 0;
    }
    for (const Command& command : Commands) {
        if (args[0] == command.name)
            return command.run(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    fprintf(stderr, "fa2: unknown command '%s' (try 'fa2 --help')\n", args[0].c_str());
    return 2;
}
