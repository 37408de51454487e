#include "job/job_sink.h"

#include "support/messages.h"

namespace {

const JobSink* Sink;

}  // namespace

void UseJobSink(const JobSink* sink)
{
    Sink = sink;
}

int JobShowError(const char* text)
{
    return Sink ? Sink->showError(Sink->context, text) : ShowUpdaterError(text);
}

int JobAskDisc(const char* text)
{
    return Sink ? Sink->askDisc(Sink->context, text) : AskUpdaterQuestion(text);
}

void JobSetInfoText(const char* format, const char* argument)
{
    if (Sink)
        Sink->setInfoText(Sink->context, format, argument);
}

void JobSetTotal(uint64_t total)
{
    if (Sink)
        Sink->setTotal(Sink->context, total);
}

void JobStartFile(const char* name)
{
    if (Sink)
        Sink->startFile(Sink->context, name);
}

void JobAddBytes(uint64_t count)
{
    if (Sink)
        Sink->addBytes(Sink->context, count);
}

int JobStopRequested()
{
    return Sink ? Sink->stopRequested(Sink->context) : 0;
}

int JobEnterCommit()
{
    return Sink ? Sink->enterCommit(Sink->context) : 1;
}
