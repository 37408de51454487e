#include "info_text.h"

#include "ui_text.h"

void SetInfoTextArgs(HWND wizard, const char* format, const FormatArg* args, int argCount)
{
    char text[1024];
    FormatTextArgs(text, sizeof text, format, args, argCount);
    SetControlText(wizard, InfoTextControl, text);
}
