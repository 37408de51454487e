#include <cstdio>

#include "commands.h"

void CommandError(const char* command, const std::string& text)
{
    fprintf(stderr, "fa2 %s: %s\n", command, text.c_str());
}

int WantsHelp(const std::vector<std::string>& args)
{
    for (const std::string& arg : args) {
        if (arg == "--")
            return 0;
        if (arg == "--help" || arg == "-h")
            return 1;
    }
    return 0;
}
