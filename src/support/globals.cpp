#include "globals.h"

int MissingKeySilent = 0;
char SetupIniPath[260];
char UpdateIniPath[260];
const char* UpdateIniText;
uint32_t UpdateIniSize;
char WindowCaption[1024];
HWND WizardWindow = nullptr;
