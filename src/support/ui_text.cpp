#include "ui_text.h"

#include <cstring>

#include "cp932.h"
#include "system_dlls.h"

namespace {

const UINT JapaneseCodePage = 932;

// Bytes of the longest prefix of `text` that holds at most `maxChars` whole characters.
int Cp932PrefixBytes(const char* text, int maxChars)
{
    int bytes = 0;
    for (int chars = 0; chars < maxChars && text[bytes]; ++chars)
        bytes += Cp932CharLength(text + bytes);
    return bytes;
}

}  // namespace

int Cp932ToWide(const char* text, wchar_t* out, int outChars)
{
    if (outChars <= 0)
        return 0;
    // A character of code page 932 is one UTF-16 unit, so this many characters fit. The system may still spend
    // two units on a malformed pair (a lead byte before a byte that cannot follow it): then drop characters from
    // the end until the conversion fits.
    int maxChars = outChars - 1;
    for (;;) {
        int bytes = Cp932PrefixBytes(text, maxChars);
        if (bytes == 0) {
            out[0] = L'\0';
            return 0;
        }
        int written = MultiByteToWideChar(JapaneseCodePage, 0, text, bytes, out, outChars - 1);
        if (written > 0) {
            out[written] = L'\0';
            return written;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            out[0] = L'\0';
            return 0;
        }
        --maxChars;
    }
}

WideText::WideText(const char* source) : text(inlineText), block(nullptr)
{
    size_t length = strlen(source);
    const size_t inlineChars = sizeof inlineText / sizeof inlineText[0];
    if (length >= inlineChars && length < 0x7FFFFFFF / sizeof(wchar_t))
        block = (wchar_t*)GlobalAlloc(GMEM_FIXED, (length + 1) * sizeof(wchar_t));
    if (block) {
        Cp932ToWide(source, block, (int)length + 1);
        text = block;
    } else {
        Cp932ToWide(source, inlineText, (int)inlineChars);
    }
}

WideText::~WideText()
{
    if (block)
        GlobalFree(block);
}

int ShowTextBox(HWND owner, const char* text, const char* caption, UINT style)
{
    WideText wideText(text);
    WideText wideCaption(caption);
    return MessageBoxW(owner, wideText.text, wideCaption.text, style);
}

void SetCaptionText(HWND window, const char* text)
{
    WideText wide(text);
    SetWindowTextW(window, wide.text);
}

void SetControlText(HWND dialog, int id, const char* text)
{
    WideText wide(text);
    SetDlgItemTextW(dialog, id, wide.text);
}

void UseJapaneseDialogFont(HWND dialog)
{
    // Windows makes the dialog's font with the template's character set, so this stops here. Wine's dialog
    // manager asks for the default set, which on a Western system picks a face without kana or kanji.
    HFONT current = (HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0);
    LOGFONTW font;
    if (!current || CallGetObject(current, sizeof font, &font) != sizeof font || font.lfCharSet == SHIFTJIS_CHARSET)
        return;
    font.lfCharSet = SHIFTJIS_CHARSET;
    // One wizard per process: its font lives until the process ends. Only the controls get it; the dialog
    // manager deletes whatever font the dialog itself is given.
    static HFONT japanese;
    if (!japanese)
        japanese = CallCreateFontIndirect(&font);
    if (!japanese)
        return;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_SETFONT, (WPARAM)japanese, FALSE);
}

HWND FindUpdaterDialog(const char* caption)
{
    WideText wide(caption);
    return FindWindowW(MAKEINTRESOURCEW(0x8002), wide.text);
}
