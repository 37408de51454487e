#include "globals.h"

int MissingKeySilent = 0;
char SetupIniPath[260];
char UpdateIniPath[260];
const char* UpdateIniText;
uint32_t UpdateIniSize;
char WindowCaption[1024];
// Filled when the process starts rather than initialised, so its kilobyte stays out of the file.
__attribute__((constructor)) static void StartCaption()
{
    lstrcpyA(WindowCaption, "UPDATE");
}
HWND WizardWindow = nullptr;
