#include "globals.h"

int MissingKeySilent = 0;
char SetupIniPath[260];
char UpdateIniPath[260];
char WindowCaption[1024] = "UPDATE";
HWND WizardWindow = nullptr;
