#pragma once
// What fa2 build tells the publisher: one line per problem on stderr, counted.
#include <cstdio>
#include <string>

struct BuildReport {
    FILE* err;
    int errors;
    int warnings;
};

// "fa2 build: WHERE: error: TEXT" (WHERE is a file, or FILE:LINE; left out when empty).
void ReportError(BuildReport* report, const std::string& where, const std::string& text);
void ReportWarning(BuildReport* report, const std::string& where, const std::string& text);
// A line of its own: "fa2 build: TEXT".
void ReportNote(BuildReport* report, const std::string& text);
