#pragma once

// Error boxes: error icon, one OK button, owned by the wizard while it is open.
int ShowSettingsError(const char* text);  // caption "INSTCMMN"
int ShowUpdaterError(const char* text);   // caption WindowCaption
