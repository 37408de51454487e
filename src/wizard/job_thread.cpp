#include "wizard/job_thread.h"

#include <cstring>

#include "support/globals.h"
#include "support/info_text.h"
#include "support/messages.h"
#include "support/ui_text.h"

namespace {

enum JobState { JobIdle, JobRunning, JobCancelRequested, JobCommitting };

// Everything both threads read, under one lock.
struct SharedJob {
    CRITICAL_SECTION lock;
    HANDLE questionClosed;  // manual reset; clear while the Cancel question is open
    JobState state;
    int questionOpen;
    int requestOpen;  // a box of the job is up
    uint64_t done, total;
    char file[MAX_PATH];
    DWORD lastPost;
};

SharedJob Shared;
LONG SharedReady;
LONG ProgressPosted;
HWND JobDialog;
DWORD JobThreadId;
HANDLE JobThread;
int (*JobBody)();

void PrepareShared()
{
    if (InterlockedCompareExchange(&SharedReady, 1, 0) == 0) {
        InitializeCriticalSection(&Shared.lock);
        Shared.questionClosed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    }
}

struct Locked {
    Locked() { EnterCriticalSection(&Shared.lock); }
    ~Locked() { LeaveCriticalSection(&Shared.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// 1 on the job's own thread; elsewhere the job's side acts directly.
int OnJobThread()
{
    return JobThread && GetCurrentThreadId() == JobThreadId;
}

// Waits while the Cancel question is open, then runs `decide` under the lock.
template <typename Decide>
int AfterTheQuestion(Decide decide)
{
    if (!SharedReady)
        return decide();
    for (;;) {
        {
            Locked locked;
            if (!Shared.questionOpen)
                return decide();
        }
        WaitForSingleObject(Shared.questionClosed, INFINITE);
    }
}

int Ask(JobRequestKind kind, const char* text, const char* argument)
{
    JobRequest request{kind, text, argument, 0};
    if (!OnJobThread()) {
        CarryOutJobRequest(JobDialog ? JobDialog : WizardWindow, &request);
        return request.answer;
    }
    AfterTheQuestion([] { return 0; });
    SendMessageA(JobDialog, JobRequestMessage, 0, (LPARAM)&request);
    return request.answer;
}

void PostProgress()
{
    if (!OnJobThread())
        return;
    // One message in flight at a time, and not more often than the eye can follow.
    DWORD now = GetTickCount();
    if (now - Shared.lastPost < 30)
        return;
    if (InterlockedExchange(&ProgressPosted, 1) == 0) {
        Shared.lastPost = now;
        PostMessageA(JobDialog, JobProgressMessage, 0, 0);
    }
}

DWORD WINAPI JobThreadMain(LPVOID)
{
    int result = JobBody();
    PostMessageA(JobDialog, JobEndedMessage, (WPARAM)result, 0);
    return 0;
}

}  // namespace

int StartJobThread(HWND dialog, int (*body)())
{
    PrepareShared();
    {
        Locked locked;
        Shared.state = JobRunning;
        Shared.questionOpen = Shared.requestOpen = 0;
        Shared.done = Shared.total = 0;
        Shared.file[0] = '\0';
        Shared.lastPost = GetTickCount() - 1000;
    }
    SetEvent(Shared.questionClosed);
    ProgressPosted = 0;
    JobDialog = dialog;
    JobBody = body;
    // Suspended until JobThread is set, so the thread knows itself from its first instruction.
    JobThread = CreateThread(nullptr, 0, JobThreadMain, nullptr, CREATE_SUSPENDED, &JobThreadId);
    if (!JobThread) {
        Locked locked;
        Shared.state = JobIdle;
        JobDialog = nullptr;
        return 0;
    }
    ResumeThread(JobThread);
    return 1;
}

void JoinJobThread()
{
    if (!JobThread)
        return;
    // The thread's last act was to post JobEndedMessage; it sends nothing more, so waiting cannot block it.
    WaitForSingleObject(JobThread, INFINITE);
    CloseHandle(JobThread);
    JobThread = nullptr;
    JobDialog = nullptr;
    Locked locked;
    Shared.state = JobIdle;
}

int JobThreadRunning()
{
    return JobThread != nullptr;
}

void CarryOutJobRequest(HWND dialog, JobRequest* request)
{
    if (SharedReady) {
        Locked locked;
        Shared.requestOpen = 1;
    }
    switch (request->kind) {
    case JobErrorBox:
        request->answer = ShowUpdaterError(request->text);
        break;
    case JobDiscQuestion:
        request->answer = ShowTextBox(dialog, request->text, WindowCaption, MB_OKCANCEL);
        break;
    case JobInfoText:
        SetInfoText(dialog, request->text, request->argument);
        break;
    }
    if (SharedReady) {
        Locked locked;
        Shared.requestOpen = 0;
    }
}

int AskToCancelJob(HWND dialog, const char* question)
{
    {
        Locked locked;
        if (Shared.state != JobRunning || Shared.questionOpen || Shared.requestOpen)
            return 0;
        Shared.questionOpen = 1;
        ResetEvent(Shared.questionClosed);
    }
    int answer = ShowTextBox(dialog, question, WindowCaption, MB_OKCANCEL);
    int stopping = 0;
    {
        Locked locked;
        if (answer == IDOK && Shared.state == JobRunning) {
            Shared.state = JobCancelRequested;
            stopping = 1;
        }
        Shared.questionOpen = 0;
    }
    SetEvent(Shared.questionClosed);
    return stopping;
}

void ReadJobProgress(uint64_t* done, uint64_t* total, char* file, size_t fileSize)
{
    InterlockedExchange(&ProgressPosted, 0);
    Locked locked;
    *done = Shared.done;
    *total = Shared.total;
    lstrcpynA(file, Shared.file, (int)fileSize);
}

namespace {

int ShowError(void*, const char* text)
{
    return Ask(JobErrorBox, text, nullptr);
}

int AskDisc(void*, const char* text)
{
    return Ask(JobDiscQuestion, text, nullptr);
}

void SetInfo(void*, const char* format, const char* argument)
{
    Ask(JobInfoText, format, argument);
}

void SetTotal(void*, uint64_t total)
{
    if (!OnJobThread())
        return;
    {
        Locked locked;
        Shared.total = total;
        Shared.done = 0;
    }
    PostProgress();
}

void StartFile(void*, const char* name)
{
    if (!OnJobThread())
        return;
    {
        Locked locked;
        lstrcpynA(Shared.file, name, sizeof Shared.file);
    }
    Shared.lastPost -= 1000;  // a new name shows at once
    PostProgress();
}

void AddBytes(void*, uint64_t count)
{
    if (!OnJobThread())
        return;
    int complete;
    {
        Locked locked;
        Shared.done += count;
        complete = Shared.done >= Shared.total;
    }
    if (complete)
        Shared.lastPost -= 1000;  // the full bar shows at once, before the commit
    PostProgress();
}

int StopRequested(void*)
{
    if (!OnJobThread())
        return 0;
    return AfterTheQuestion([] { return Shared.state == JobCancelRequested ? 1 : 0; });
}

int EnterCommit(void*)
{
    if (!OnJobThread())
        return 1;
    int entered = AfterTheQuestion([] {
        if (Shared.state != JobRunning)
            return 0;
        Shared.state = JobCommitting;
        return 1;
    });
    // Sent, not posted: Cancel is off before the first file moves.
    if (entered)
        SendMessageA(JobDialog, JobCommitMessage, 0, 0);
    return entered;
}

}  // namespace

const JobSink ThreadJobSink = {nullptr, ShowError, AskDisc, SetInfo, SetTotal, StartFile, AddBytes, StopRequested,
                               EnterCommit};
