#include "build_progress.h"

#include "block_encoder.h"

namespace {

const std::chrono::milliseconds TerminalTick(250);
const std::chrono::milliseconds LineTick(5000);

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// "packing 3/8 entries, 120.0 MB of 300.0 MB (40%), big.dat, 15.2 MB/s", and a delta's step after the name;
// the lock is held.
std::string ProgressText(BuildProgress* p)
{
    double seconds = Seconds(p->phaseStart);
    uint64_t done = p->bytesDone + (p->compressing ? EncodeBlockProgress.load(std::memory_order_relaxed) : 0);
    for (const std::atomic<size_t>* aside : p->aside)
        done += aside ? aside->load(std::memory_order_relaxed) : 0;
    if (done > p->bytesTotal)
        done = p->bytesTotal;
    if (done < p->shownDone)
        done = p->shownDone;
    p->shownDone = done;
    char text[256];
    snprintf(text, sizeof text, "%s %zu/%zu entries, %s of %s (%d%%), %s/s", p->phase, p->entriesDone,
             p->entriesTotal, MegaBytes((double)done).c_str(), MegaBytes((double)p->bytesTotal).c_str(),
             p->bytesTotal ? (int)(100.0 * (double)done / (double)p->bytesTotal) : 100,
             MegaBytes(seconds > 0 ? (double)done / seconds : 0).c_str());
    std::string line = text;
    if (!p->current.empty())
        line += ", " + p->current;
    if (p->step)
        line += std::string(": ") + p->step;
    return line;
}

void Tick(BuildProgress* p)
{
    std::unique_lock<std::mutex> hold(p->lock);
    while (!p->stopping) {
        p->wake.wait_for(hold, p->mode == ProgressTerminal ? TerminalTick : LineTick);
        if (p->stopping || !p->phase)
            continue;
        if (p->mode == ProgressTerminal)
            fprintf(p->err, "\r\x1b[Kfa2 build: %s", ProgressText(p).c_str());
        else
            fprintf(p->err, "fa2 build: %s\n", ProgressText(p).c_str());
        fflush(p->err);
    }
}

}  // namespace

std::string MegaBytes(double bytes)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

void StartProgress(BuildProgress* progress, FILE* err, ProgressMode mode)
{
    progress->err = err;
    progress->mode = mode;
    progress->stopping = 0;
    progress->phase = nullptr;
    progress->entriesDone = progress->entriesTotal = 0;
    progress->bytesDone = progress->bytesTotal = 0;
    progress->compressing = 0;
    progress->step = nullptr;
    progress->shownDone = 0;
    progress->start = progress->phaseStart = std::chrono::steady_clock::now();
    if (mode != ProgressNone)
        progress->ticker = std::thread(Tick, progress);
}

void ProgressPhase(BuildProgress* progress, const char* phase, size_t entries, uint64_t bytes)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->phase = phase;
    progress->current.clear();
    progress->entriesDone = 0;
    progress->entriesTotal = entries;
    progress->bytesDone = 0;
    progress->bytesTotal = bytes;
    progress->compressing = 0;
    progress->step = nullptr;
    progress->shownDone = 0;
    progress->phaseStart = std::chrono::steady_clock::now();
}

void ProgressFile(BuildProgress* progress, const std::string& current)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->current = current;
}

void ProgressDone(BuildProgress* progress, size_t entriesDone, uint64_t bytesDone)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->entriesDone = entriesDone;
    progress->bytesDone = bytesDone;
    progress->compressing = 0;
    progress->step = nullptr;
}

void ProgressStep(BuildProgress* progress, const char* step)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->step = step;
}

std::string ProgressLine(BuildProgress* progress)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    return ProgressText(progress);
}

void ProgressCompressing(BuildProgress* progress, uint64_t bytesBefore)
{
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->bytesDone = bytesBefore;
    progress->compressing = 1;
}

void StopProgress(BuildProgress* progress, const std::string& summary)
{
    if (progress->mode == ProgressNone)
        return;
    {
        std::lock_guard<std::mutex> hold(progress->lock);
        progress->stopping = 1;
    }
    progress->wake.notify_all();
    progress->ticker.join();
    if (progress->mode == ProgressTerminal)
        fputs("\r\x1b[K", progress->err);
    if (!summary.empty())
        fprintf(progress->err, "fa2 build: %s\n", summary.c_str());
    fflush(progress->err);
    progress->mode = ProgressNone;
}
