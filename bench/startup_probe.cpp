// Starts a program and reports how long it takes until the first visible top-level window of its own (a dialog
// or a message box) appears, then keeps it running for a while so that its memory can be read from outside,
// and ends it. Usage: startup_probe PROGRAM [HOLD_MS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct Search {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM context)
{
    Search* search = (Search*)context;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: startup_probe PROGRAM [HOLD_MS]\n");
        return 2;
    }
    DWORD hold = argc > 2 ? (DWORD)atoi(argv[2]) : 0;
    char line[2048];
    snprintf(line, sizeof line, "\"%s\"", argv[1]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(argv[1], line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "cannot start %s (error %lu)\n", argv[1], (unsigned long)GetLastError());
        return 2;
    }
    Search search = {process.dwProcessId, NULL};
    for (;;) {
        EnumWindows(FindVisible, (LPARAM)&search);
        if (search.found || WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0)
            break;
    }
    QueryPerformanceCounter(&now);
    double ms = 1000.0 * (double)(now.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    if (!search.found) {
        printf("ended without a window after %.1f ms\n", ms);
        return 1;
    }
    printf("first window after %.1f ms\n", ms);
    fflush(stdout);
    Sleep(hold);
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 5000);
    return 0;
}
