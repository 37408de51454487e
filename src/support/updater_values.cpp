#include "support/updater_values.h"

char CompanyName[260];
char GameTitle[260];
char GameClass[260];
char GameDir[260];
char GameTitleA[260];
char UpdaterVersion[260];
char UpdaterTitle[260];
char DataFolder[260];
char UpdateMessage[1024];
int ModeTextInstall;
char ModeWord[1024];
char* AgreementTextData;
char* AgreementTitleData;
InstalledGame InstallRecord;
