#include "info_text.h"

void SetInfoTextArgs(HWND wizard, const char* format, const FormatArg* args, int argCount)
{
    char text[1024];
    FormatTextArgs(text, sizeof text, format, args, argCount);
    SetDlgItemTextA(wizard, InfoTextControl, text);
}
