#pragma once
// Checks of whole runs, as a player sees them: the boxes, the wizard's texts, the way a run ends.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "driver.h"

extern const char Interrupted[];  // "アップデートが中断されました"
extern const char LeftAsItWas[];  // the box after a job that put everything back
extern const char CancelQuestion[];  // "アップデートを中止しますか？", asked on Cancel while the job runs
const int Next = 1, Cancel = 2;
const int Info = 1001, ProgressBar = 1004;

// Installs the game and builds its updater.
::testing::AssertionResult Prepare(UpdateScenario& scenario, DWORD instMode = 1);

struct ExpectedBox {
    std::string text;
    std::string caption;
    bool icon;    // error boxes and notices carry an icon; questions none
    bool cancel;  // OK/Cancel questions
    HWND owner;
};
ExpectedBox ErrorBox(const std::string& text, const std::string& caption, HWND owner = nullptr);
// What was done for the player (the information icon; from outside, any icon is all that shows).
ExpectedBox NoticeBox(const std::string& text, const std::string& caption, HWND owner = nullptr);

// Waits for the next box, checks it, and answers it with `answer`; `whileShown` runs before the answer.
::testing::AssertionResult SeeBox(UpdaterRun& run, const ExpectedBox& expected, int answer,
                                  const std::function<void()>& whileShown = nullptr);
// The process ends with `code`, showing nothing more, and leaves no temporary file of its own behind.
::testing::AssertionResult EndsWith(UpdaterRun& run, DWORD code);
// Cancel on the current page: the run reports the interruption under `caption` and ends with exit code 0.
::testing::AssertionResult CancelIsReportedAsInterrupted(UpdaterRun& run, HWND wizard, const std::string& caption);
bool WaitForEnabled(HWND dialog, int id, bool enabled);
::testing::AssertionResult ShowsText(HWND wizard, const std::string& expected);
int ProgressPosition(HWND wizard);  // 0 to 10000
// Cancel as soon as the progress bar moves: files are being staged by then.
::testing::AssertionResult ClickCancelOnceTheBarMoves(UpdaterRun& run, HWND wizard);
// Next on the confirmation page, then waits for the finished page.
::testing::AssertionResult RunJobToEnd(HWND wizard, const std::string& modeWord = "アップデート");
// From the first page (no agreement) through the job to the finished page, and out with exit code 1.
::testing::AssertionResult UpdatesToTheEnd(UpdaterRun& run);
