#pragma once
#include <cstddef>
#include <cstdint>

// One bounded formatter for every message and info text. It gives wsprintfA's output for the conversions the
// system uses (%s, %i/%d, %u, with '-', '0' and a width, and %%), adds %I64u for unsigned 64-bit sizes, never
// reads an argument that was not passed (a conversion without a matching argument is shown as written), and cuts
// its output on a cp932 character boundary so that it fits `outSize` bytes with its NUL.

enum FormatArgKind { FormatArgText, FormatArgInt, FormatArgU64 };

struct FormatArg {
    FormatArgKind kind;
    const char* text;
    int32_t number;
    uint64_t big;
};

inline FormatArg MakeFormatArg(const char* text) { return FormatArg{FormatArgText, text ? text : "", 0, 0}; }
inline FormatArg MakeFormatArg(int32_t number) { return FormatArg{FormatArgInt, "", number, 0}; }
inline FormatArg MakeFormatArg(uint64_t big) { return FormatArg{FormatArgU64, "", 0, big}; }

// Returns the length written, NUL not counted. `outSize` must be at least 1.
int FormatTextArgs(char* out, size_t outSize, const char* format, const FormatArg* args, int argCount);

template <typename... Args>
int FormatText(char* out, size_t outSize, const char* format, Args... args)
{
    FormatArg list[] = {MakeFormatArg(args)..., MakeFormatArg("")};
    return FormatTextArgs(out, outSize, format, list, (int)sizeof...(Args));
}
