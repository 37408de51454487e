#include "build_report.h"

static void ReportLine(BuildReport* report, const char* kind, const std::string& where, const std::string& text)
{
    fprintf(report->err, "fa2 build: %s%s: %s\n", where.empty() ? "" : (where + ": ").c_str(), kind, text.c_str());
}

void ReportError(BuildReport* report, const std::string& where, const std::string& text)
{
    ++report->errors;
    ReportLine(report, "error", where, text);
}

void ReportWarning(BuildReport* report, const std::string& where, const std::string& text)
{
    ++report->warnings;
    ReportLine(report, "warning", where, text);
}

void ReportNote(BuildReport* report, const std::string& text)
{
    fprintf(report->err, "fa2 build: %s\n", text.c_str());
}
