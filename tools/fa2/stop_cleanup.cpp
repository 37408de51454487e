#include "stop_cleanup.h"

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
typedef wchar_t NameChar;
#else
typedef char NameChar;
#endif

const size_t NameCapacity = 4096;
NameChar names[StopCleanupSlots][NameCapacity];
volatile sig_atomic_t armed[StopCleanupSlots];

#ifdef _WIN32
// Runs on a thread of its own; the tool ends after it (FALSE: the default handler follows). A file still open
// for writing cannot be deleted there, so this removes what it can.
BOOL WINAPI OnConsoleEvent(DWORD)
{
    for (int i = 0; i < StopCleanupSlots; i++)
        if (armed[i])
            DeleteFileW(names[i]);
    return FALSE;
}
#else
void OnStopSignal(int signal)
{
    for (int i = 0; i < StopCleanupSlots; i++)
        if (armed[i])
            unlink(names[i]);
    ::signal(signal, SIG_DFL);
    raise(signal);
}
#endif

}  // namespace

void RemoveOnStop(int slot, const std::string& path)
{
    if (slot < 0 || slot >= StopCleanupSlots)
        return;
    armed[slot] = 0;
#ifdef _WIN32
    int length = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, names[slot], (int)NameCapacity);
    if (length <= 0)
        return;
#else
    if (path.size() >= NameCapacity)
        return;
    memcpy(names[slot], path.c_str(), path.size() + 1);
#endif
    armed[slot] = 1;
}

void KeepOnStop(int slot)
{
    if (slot >= 0 && slot < StopCleanupSlots)
        armed[slot] = 0;
}

void InstallStopHandlers()
{
    static int installed = 0;
    if (installed)
        return;
    installed = 1;
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now, before;
        memset(&now, 0, sizeof now);
        now.sa_handler = OnStopSignal;
        sigemptyset(&now.sa_mask);
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &now, nullptr);
    }
#endif
}
