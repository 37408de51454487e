// The update job against an earlier updater's in-place job, on one update of the same files, under Wine:
//   win32_job_bench BASELINE_UPDATE_EXE [MEGABYTES] [ROUNDS]
// Both updaters are built by fa2.exe from one folder (half text that compresses, half bytes that do not, in 16
// files), installed over the same older game each time, and timed from Next on the confirmation page to the
// finished page, alternating which one goes first. For the staged job the progress bar splits the time: planning
// and weighing (until the bar first moves), staging (until it is full), commit and clean-up (until finished).
// Throughout each job the wizard is asked WM_NULL, and the longest wait for its answer is reported. Finally the
// same bytes are written to plain files with and without FlushFileBuffers, for the share of the flushes alone.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"

namespace {

const int Next = 1, Info = 1001, ProgressBar = 1004;
const int FileCount = 16;  // an update has at most 16 items

double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / frequency.QuadPart;
}

std::string Contents(int index, size_t bytes)
{
    std::string data;
    data.reserve(bytes);
    if (index % 2 == 0) {
        for (int line = 0; data.size() < bytes; ++line)
            data += "file " + std::to_string(index) + " scene " + std::to_string(line % 977) + " line " +
                    std::to_string(line) + "\r\n";
    } else {
        unsigned state = 2463534242u + index;
        while (data.size() < bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            data.push_back((char)(state >> 24));
        }
    }
    data.resize(bytes);
    return data;
}

std::string Name(int index)
{
    return "data" + std::to_string(index) + ".bin";
}

struct Timing {
    double total = 0, planning = 0, staging = 0, commit = 0;
    double slowestAnswer = 0;  // the longest the wizard took to answer one look at it during the job
};

int Position(HWND wizard)
{
    DWORD_PTR position = 0;
    HWND bar = GetDlgItem(wizard, ProgressBar);
    if (bar)
        SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
    return (int)position;
}

bool InstallOlderGame(const UpdateScenario& s)
{
    for (int i = 0; i < FileCount; ++i) {
        std::string path = s.instPath + "\\" + Name(i);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!WriteBytes(path, "1.01 " + Name(i)) || !SetLastWriteTime(path, PayloadTime - 864000000000ull))
            return false;
    }
    return true;
}

bool TimeOneRun(const UpdateScenario& s, const std::string& exe, Timing* timing)
{
    if (!InstallOlderGame(s))
        return false;
    UpdaterRun run;
    if (!run.Start(exe, s.tempDir))
        return false;
    HWND wizard = run.WaitForWizard();
    std::string last;
    if (!wizard || !Click(wizard, Next) || !WaitForControlText(wizard, Info, "アップデートを実行します", &last))
        return false;
    double start = Now(), moved = 0, full = 0;
    if (!Click(wizard, Next))
        return false;
    for (;;) {
        // Three questions to the wizard per look (WM_NULL, the bar, the info text): how long they wait for it.
        double asked = Now();
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(wizard, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer);
        int position = Position(wizard);
        ScreenText info = ControlText(wizard, Info);
        double now = Now();
        timing->slowestAnswer = std::max(timing->slowestAnswer, now - asked);
        if (position > 0 && !moved)
            moved = now;
        if (position == 10000 && !full)
            full = now;
        if (info == "アップデートは完了しました")
            break;
        if (run.Ended() || now - start > 900) {
            fprintf(stderr, "the run did not finish: %s\n", run.problem.c_str());
            return false;
        }
        Sleep(1);
    }
    double end = Now();
    timing->total = end - start;
    if (moved && full) {
        timing->planning = moved - start;
        timing->staging = full - moved;
        timing->commit = end - full;
    }
    std::string what;
    return Click(wizard, Next) && run.WaitForExit(&what, 60000) && run.exitCode == 1;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The same bytes written as plain files, with and without a flush each: what the flushes cost by themselves.
void TimeFlushes(const std::string& folder, const std::vector<std::string>& contents)
{
    for (int flush = 0; flush < 2; ++flush) {
        double start = Now();
        for (size_t i = 0; i < contents.size(); ++i) {
            std::string path = folder + "\\flush" + std::to_string(i);
            HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            for (size_t at = 0; at < contents[i].size(); at += 65536) {
                DWORD piece = (DWORD)std::min<size_t>(65536, contents[i].size() - at);
                WriteFile(file, contents[i].data() + at, piece, &written, nullptr);
            }
            if (flush)
                FlushFileBuffers(file);
            CloseHandle(file);
        }
        printf("  writing the files %s: %.3f s\n", flush ? "with a flush each" : "without flushes  ", Now() - start);
        for (size_t i = 0; i < contents.size(); ++i)
            DeleteFileA((folder + "\\flush" + std::to_string(i)).c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: win32_job_bench BASELINE_UPDATE_EXE [MEGABYTES] [ROUNDS]\n");
        return 2;
    }
    std::string baseline = argv[1];
    size_t megabytes = argc > 2 ? (size_t)atoi(argv[2]) : 300;
    int rounds = argc > 3 ? atoi(argv[3]) : 3;

    UpdateScenario staged;
    staged.update.keys.clear();
    staged.payload.clear();
    std::vector<std::string> contents;
    for (int i = 0; i < FileCount; ++i) {
        contents.push_back(Contents(i, megabytes * 1024 * 1024 / FileCount));
        staged.update.Set("UpdateFile" + std::string(i < 10 ? "0" : "") + std::to_string(i), Name(i));
        staged.payload.push_back({Name(i), contents.back()});
    }
    UpdateScenario inPlace;
    inPlace.update = staged.update;
    inPlace.payload = staged.payload;
    inPlace.stub = baseline;
    printf("building both updaters (%zu MB in %d files)...\n", megabytes, FileCount);
    std::string log;
    for (UpdateScenario* s : {&staged, &inPlace}) {
        if (!s->Install() || !s->Build(&log)) {
            fprintf(stderr, "cannot prepare: %s\n", log.c_str());
            return 1;
        }
    }

    std::vector<double> stagedTotal, inPlaceTotal, planning, staging, commit;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            bool stagedTurn = (round + turn) % 2 == 0;
            UpdateScenario& s = stagedTurn ? staged : inPlace;
            Timing timing;
            if (!TimeOneRun(s, s.exePath, &timing)) {
                fprintf(stderr, "a run failed\n");
                return 1;
            }
            if (stagedTurn) {
                stagedTotal.push_back(timing.total);
                planning.push_back(timing.planning);
                staging.push_back(timing.staging);
                commit.push_back(timing.commit);
                printf("  round %d staged job:   %.3f s (planning %.3f, staging %.3f, commit %.3f); window unanswered "
                       "for at most %.0f ms\n",
                       round + 1, timing.total, timing.planning, timing.staging, timing.commit,
                       timing.slowestAnswer * 1000);
            } else {
                inPlaceTotal.push_back(timing.total);
                printf("  round %d in-place job: %.3f s; window unanswered for at most %.0f ms\n", round + 1,
                       timing.total, timing.slowestAnswer * 1000);
            }
        }
    }
    TimeFlushes(staged.scratch.path, contents);
    double a = Median(stagedTotal), b = Median(inPlaceTotal);
    printf("median of %d rounds: staged %.3f s (planning %.3f, staging %.3f, commit and clean-up %.3f), "
           "in place %.3f s: ratio %.2fx\n",
           rounds, a, Median(planning), Median(staging), Median(commit), b, b > 0 ? a / b : 0);
    return 0;
}
