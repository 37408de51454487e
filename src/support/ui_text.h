#pragma once
#include <windows.h>

// Texts for people. Every text the updater shows is cp932 bytes; it reaches the screen through these functions,
// which convert it from code page 932 whatever the system's ANSI code page is and hand it to the wide-character
// calls, so the player reads Japanese on any Windows. Names of files, folders and registry keys never come here:
// they stay ANSI, as the game reads them.

// Converts the whole characters of `text` that fit into `out` (`outChars` units, the NUL included) and
// terminates it; a text too long is cut before a character, never inside one. Returns the units written,
// without the NUL.
int Cp932ToWide(const char* text, wchar_t* out, int outChars);

// One text converted for one call. Texts up to the inline size need no heap; a longer one (an agreement text)
// gets a block of its own, or is cut to the inline size when no memory is left.
struct WideText {
    explicit WideText(const char* text);
    ~WideText();
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;

    const wchar_t* text;

private:
    wchar_t* block;
    wchar_t inlineText[1024];
};

// MessageBox with a text and caption of ours.
int ShowTextBox(HWND owner, const char* text, const char* caption, UINT style);
// The caption of a window (the wizard's title bar).
void SetCaptionText(HWND window, const char* text);
// The text of a dialog's control; a missing control is left alone.
void SetControlText(HWND dialog, int id, const char* text);
// Gives the dialog's controls its font in the Shift-JIS character set, so that a system without the template's
// face draws the Japanese texts in a Japanese one. Does nothing when the dialog's font has that set already.
void UseJapaneseDialogFont(HWND dialog);
// A dialog (the predefined dialog class) whose caption is `caption`: a copy of the updater on this system made
// its caption from the same cp932 bytes the same way, so the wide search finds it on every code page.
HWND FindUpdaterDialog(const char* caption);
