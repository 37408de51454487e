#include "messages.h"

#include "globals.h"

int ShowSettingsError(const char* text)
{
    return MessageBoxA(WizardWindow, text, "INSTCMMN", MB_ICONERROR);
}

int ShowUpdaterError(const char* text)
{
    return MessageBoxA(WizardWindow, text, WindowCaption, MB_ICONERROR);
}
