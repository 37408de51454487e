#pragma once
// The update job runs on a thread of its own, so that the wizard keeps painting and answering while files are
// decoded and written. This is the link between the two threads. Every box and text the job shows is shown by the
// wizard's thread (the job asks with SendMessage and waits for the answer), so boxes stay owned by the wizard; the
// job posts its progress; a Cancel the player confirms reaches the job at its next piece of work, and the job
// stays still while the player is asked.
#include <windows.h>

#include <cstdint>

#include "job/job_sink.h"

// Messages to the wizard.
const UINT JobRequestMessage = WM_APP + 0x40;   // sent by the job: lParam is a JobRequest to carry out
const UINT JobProgressMessage = WM_APP + 0x41;  // posted: the progress changed
const UINT JobCommitMessage = WM_APP + 0x42;    // sent: the commit begins, Cancel goes off
const UINT JobEndedMessage = WM_APP + 0x43;     // posted last by the job's thread: wParam is what it returned

enum JobRequestKind { JobErrorBox, JobDiscQuestion, JobInfoText };

struct JobRequest {
    JobRequestKind kind;
    const char* text;    // the box's text; for JobInfoText the format, with `argument` as its one %s
    const char* argument;
    int answer;          // the box's answer
};

// The wizard's side.

// Starts `body` on the job's thread for the wizard `dialog`; when it returns, its result arrives as
// JobEndedMessage. 0 when no thread could be started.
int StartJobThread(HWND dialog, int (*body)());
// After JobEndedMessage: the thread is waited for and let go.
void JoinJobThread();
// 1 from the start of a job until JoinJobThread.
int JobThreadRunning();
// Carries out a JobRequest on the wizard's thread.
void CarryOutJobRequest(HWND dialog, JobRequest* request);
// Cancel while the job runs: the question, then the stop request. 1 when the player confirmed and the job will stop;
// 0 when the player went on, or the commit had begun, or a box of the job is open.
int AskToCancelJob(HWND dialog, const char* question);
// The progress as the job last reported it.
void ReadJobProgress(uint64_t* done, uint64_t* total, char* file, size_t fileSize);

// The job's side: the sink of a job run by StartJobThread. Its boxes and texts are carried out on the wizard's
// thread; called from any other thread, it shows its boxes on that thread and never stops the job.
extern const JobSink ThreadJobSink;
