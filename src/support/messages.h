#pragma once

// Error boxes: error icon, one OK button, owned by the wizard while it is open.
int ShowSettingsError(const char* text);  // caption "INSTCMMN"
int ShowUpdaterError(const char* text);   // caption WindowCaption
// Information (what was done for the player): the information icon, one OK button, caption WindowCaption.
int ShowUpdaterNotice(const char* text);
// A question: OK and Cancel, no icon, caption WindowCaption; IDOK when the player chose OK.
int AskUpdaterQuestion(const char* text);

// Too little room for a file: the drive ("C:") and the shortfall in bytes (unsigned 64-bit, so 2 GiB and more
// show as the positive number they are).
extern const char DiskShortageFormat[];

// The payload does not match the sums packed beside it: the download is damaged.
extern const char DamagedPayloadText[];

// A link (junction, symbolic link, second name) found where the job would change a file: %s its path, then the
// mode word. The job changes nothing through it.
extern const char LinkFoundFormat[];

// The archive's own two messages: an entry the payload does not have (or cannot decode), and no memory for one.
extern const char NotFoundText[];
extern const char NoMemoryText[];
