#pragma once
// The fa2 commands. Each takes the arguments after its name and returns the process exit status:
// 0 success, 1 failure (or damage found), 2 wrong usage.
#include <string>
#include <vector>

int RunList(const std::vector<std::string>& args);
int RunExtract(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
int RunDecodeBlock(const std::vector<std::string>& args);
int RunPack(const std::vector<std::string>& args);

// One line on stderr: "fa2 COMMAND: TEXT".
void CommandError(const char* command, const std::string& text);
// 1 when `args` asks for the command's help.
int WantsHelp(const std::vector<std::string>& args);
