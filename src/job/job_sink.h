#pragma once
// What the job tells and asks while it runs, and how a Cancel reaches it: callbacks of the caller's, handed to
// RunUpdateJob. The job's pieces call the functions below, which go to the sink of the job that runs. With none
// (a phase driven on its own, as the tests do) boxes show on the calling thread, progress goes nowhere and nothing
// stops the job.
#include <cstdint>

struct JobSink {
    void* context;                                       // the caller's, passed back to every callback
    int (*showError)(void* context, const char* text);  // an error box; its answer
    int (*askDisc)(void* context, const char* text);    // OK/Cancel, no icon; IDOK when the player chose OK
    // The wizard's info text: `format` with `argument` as its one %s.
    void (*setInfoText)(void* context, const char* format, const char* argument);
    void (*setTotal)(void* context, uint64_t total);     // the bytes of the whole job; none done yet
    void (*startFile)(void* context, const char* name);  // the file worked on now, as the update names it
    void (*addBytes)(void* context, uint64_t count);
    // 1 once the player confirmed Cancel; may wait while the player is being asked.
    int (*stopRequested)(void* context);
    // Passing the point of no return: 1 and Cancel goes off for good, or 0 when the player confirmed Cancel first.
    int (*enterCommit)(void* context);
};

// The sink the job's pieces report to from now on; null for none.
void UseJobSink(const JobSink* sink);

int JobShowError(const char* text);
int JobAskDisc(const char* text);
void JobSetInfoText(const char* format, const char* argument);
void JobSetTotal(uint64_t total);
void JobStartFile(const char* name);
void JobAddBytes(uint64_t count);
int JobStopRequested();
int JobEnterCommit();
