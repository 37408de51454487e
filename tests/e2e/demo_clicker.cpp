// The demo's hands: one step of a walk through the updater's windows per call, so the demo can take a screenshot
// between steps. It runs in the same Wine desktop as the updater and finds its dialogs by their controls.
//   demo_clicker wait-box [SECONDS]           waits for a message box; prints its text
//   demo_clicker answer ID                     presses button ID of the message box and waits until it is gone
//   demo_clicker wait-wizard [TEXT] [SECONDS]  waits for the wizard (and for its info text to read TEXT); prints it
//   demo_clicker click ID                      clicks the wizard's control ID once it is enabled
//   demo_clicker rect                          prints the wizard's outer rectangle as WxH+X+Y
//   demo_clicker next-and-hold PERMILLE        clicks Next, waits until the progress bar passes PERMILLE of its
//                                              range, then holds the job still for a screenshot: every thread of the
//                                              updater but the wizard's is suspended (the wizard goes on painting);
//                                              prints the name of the file being worked on
//   demo_clicker release                       resumes what next-and-hold suspended
// Exit status 0 when the step was done, 1 when it timed out, 2 on a usage error. Texts are read as UTF-16, so any
// system code page works; TEXT is compared as UTF-16 too, and the texts are printed in cp932.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

struct Search {
    bool wizard;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter)
{
    Search* search = (Search*)parameter;
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    bool wizard = GetDlgItem(window, 1001) != nullptr;
    bool box = !wizard && GetDlgItem(window, 0xFFFF) != nullptr;
    if ((search->wizard && wizard) || (!search->wizard && box)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(bool wizard, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        Search search{wizard, nullptr};
        EnumWindows(FindDialog, (LPARAM)&search);
        if (search.found)
            return search.found;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

void ControlText(HWND dialog, int id, wchar_t* text, int size)
{
    text[0] = L'\0';
    HWND control = GetDlgItem(dialog, id);
    DWORD_PTR copied = 0;
    if (control)
        SendMessageTimeoutW(control, WM_GETTEXT, size, (LPARAM)text, SMTO_ABORTIFHUNG, 3000, &copied);
}

// Suspends (or resumes) every thread of the wizard's process but the wizard's own.
int HoldOtherThreads(HWND wizard, bool hold)
{
    DWORD processId = 0;
    DWORD wizardThread = GetWindowThreadProcessId(wizard, &processId);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId || entry.th32ThreadID == wizardThread)
            continue;
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (!thread)
            continue;
        if ((hold ? SuspendThread(thread) : ResumeThread(thread)) != (DWORD)-1)
            ++count;
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return count;
}

void PrintCp932(const wchar_t* text)
{
    char bytes[8192] = "";
    WideCharToMultiByte(932, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    printf("%s\n", bytes);
}

DWORD Seconds(int argc, wchar_t** argv, int index, DWORD fallback)
{
    return argc > index ? (DWORD)_wtoi(argv[index]) * 1000 : fallback * 1000;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    // Coordinates in real pixels: the screenshots are cut with them at any scale.
    SetProcessDPIAware();
    const wchar_t* command = argv[1];
    wchar_t text[4096];

    if (!wcscmp(command, L"wait-box")) {
        HWND box = WaitForDialog(false, Seconds(argc, argv, 2, 30));
        if (!box)
            return 1;
        Sleep(300);  // drawn completely before the screenshot
        ControlText(box, 0xFFFF, text, 4096);
        PrintCp932(text);
        return 0;
    }
    if (!wcscmp(command, L"answer") && argc > 2) {
        HWND box = WaitForDialog(false, 10000);
        int id = _wtoi(argv[2]);
        if (!box || !GetDlgItem(box, id))
            return 1;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
        for (int i = 0; i < 200 && IsWindow(box); i++)
            Sleep(25);
        return IsWindow(box) ? 1 : 0;
    }
    if (!wcscmp(command, L"wait-wizard")) {
        DWORD timeout = Seconds(argc, argv, 3, 30), start = GetTickCount();
        HWND wizard = WaitForDialog(true, timeout);
        if (!wizard)
            return 1;
        for (;;) {
            ControlText(wizard, 1001, text, 4096);
            if (argc < 3 || !argv[2][0] || !wcscmp(text, argv[2]))
                break;
            if (GetTickCount() - start > timeout || !IsWindow(wizard)) {
                PrintCp932(text);
                return 1;
            }
            Sleep(50);
        }
        Sleep(300);
        PrintCp932(text);
        return 0;
    }
    if (!wcscmp(command, L"click") && argc > 2) {
        HWND wizard = WaitForDialog(true, 10000);
        int id = _wtoi(argv[2]);
        HWND control = wizard ? GetDlgItem(wizard, id) : nullptr;
        for (int i = 0; control && i < 200 && !IsWindowEnabled(control); i++)
            Sleep(25);
        if (!control || !IsWindowEnabled(control))
            return 1;
        PostMessageA(wizard, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
        Sleep(200);
        return 0;
    }
    if (!wcscmp(command, L"next-and-hold") && argc > 2) {
        HWND wizard = WaitForDialog(true, 10000);
        HWND next = wizard ? GetDlgItem(wizard, 1) : nullptr;
        HWND bar = wizard ? GetDlgItem(wizard, 1004) : nullptr;
        if (!next || !bar || !IsWindowEnabled(next))
            return 1;
        PostMessageA(wizard, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), (LPARAM)next);
        DWORD_PTR range = 0, position = 0;
        DWORD start = GetTickCount();
        do {
            SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 1000, &range);
            SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
            if (range && position * 1000 >= range * (DWORD_PTR)_wtoi(argv[2]))
                break;
            Sleep(1);
        } while (GetTickCount() - start < 60000);
        if (!range || !HoldOtherThreads(wizard, true))
            return 1;
        Sleep(300);  // the last progress the job posted is painted
        ControlText(wizard, 1005, text, 4096);
        PrintCp932(text);
        return 0;
    }
    if (!wcscmp(command, L"release")) {
        HWND wizard = WaitForDialog(true, 10000);
        return wizard && HoldOtherThreads(wizard, false) ? 0 : 1;
    }
    if (!wcscmp(command, L"rect")) {
        HWND wizard = WaitForDialog(true, 10000);
        RECT rect;
        if (!wizard || !GetWindowRect(wizard, &rect))
            return 1;
        printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
        return 0;
    }
    return 2;
}
