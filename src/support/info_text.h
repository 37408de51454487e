#pragma once
#include <windows.h>

#include "text_format.h"

const int InfoTextControl = 1001;

void SetInfoTextArgs(HWND wizard, const char* format, const FormatArg* args, int argCount);

// Formats into a 1024-byte text and shows it as the wizard's info text. A format is used unchanged: '%%' shows
// as one '%', and a conversion without an argument shows as written.
template <typename... Args>
void SetInfoText(HWND wizard, const char* format, Args... args)
{
    FormatArg list[] = {MakeFormatArg(args)..., MakeFormatArg("")};
    SetInfoTextArgs(wizard, format, list, (int)sizeof...(Args));
}
