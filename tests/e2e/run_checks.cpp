#include "run_checks.h"

#include <commctrl.h>

const char Interrupted[] = "アップデートが中断されました";
const char CancelQuestion[] = "アップデートを中止しますか？";
const char LeftAsItWas[] = "ゲームのファイルは元のままです。もう一度アップデートを実行できます";

::testing::AssertionResult Prepare(UpdateScenario& scenario, DWORD instMode)
{
    if (!scenario.Install(instMode))
        return ::testing::AssertionFailure() << "cannot install the game at " << scenario.instPath;
    std::string log;
    if (!scenario.Build(&log))
        return ::testing::AssertionFailure() << "fa2 build failed:\n" << log;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SeeBox(UpdaterRun& run, const ExpectedBox& expected, int answer,
                                  const std::function<void()>& whileShown)
{
    SeenBox box;
    if (!run.WaitForBox(&box))
        return ::testing::AssertionFailure() << "expected the box \"" << expected.text << "\": " << run.problem;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (box.text != expected.text || box.caption != expected.caption || box.icon != expected.icon ||
        box.hasCancel != expected.cancel || box.owner != expected.owner)
        result = ::testing::AssertionFailure()
                 << "box text \"" << box.text << "\" caption \"" << box.caption << "\" icon " << box.icon
                 << " cancel " << box.hasCancel << " owner " << box.owner << "; expected \"" << expected.text
                 << "\" caption \"" << expected.caption << "\" icon " << expected.icon << " cancel "
                 << expected.cancel << " owner " << expected.owner;
    if (whileShown)
        whileShown();
    if (!run.Answer(box, answer))
        return ::testing::AssertionFailure() << "the box \"" << box.text << "\" did not close on button " << answer;
    return result;
}

ExpectedBox ErrorBox(const std::string& text, const std::string& caption, HWND owner)
{
    return ExpectedBox{text, caption, true, false, owner};
}

ExpectedBox NoticeBox(const std::string& text, const std::string& caption, HWND owner)
{
    return ExpectedBox{text, caption, true, false, owner};
}

::testing::AssertionResult EndsWith(UpdaterRun& run, DWORD code)
{
    std::string what;
    if (!run.WaitForExit(&what))
        return ::testing::AssertionFailure() << what;
    if (run.exitCode != code)
        return ::testing::AssertionFailure() << "exit code " << run.exitCode << ", expected " << code;
    std::vector<std::string> left = FilesMatching(run.tempDir, "UPD*.tmp");
    std::vector<std::string> shared = FilesMatching(run.tempDir, "UPDATE.INI");
    if (!left.empty() || !shared.empty())
        return ::testing::AssertionFailure() << "left in the temporary folder: "
                                             << (left.empty() ? shared[0] : left[0]);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CancelIsReportedAsInterrupted(UpdaterRun& run, HWND wizard, const std::string& caption)
{
    if (!Click(wizard, Cancel))
        return ::testing::AssertionFailure() << "Cancel is not clickable";
    ::testing::AssertionResult box = SeeBox(run, ErrorBox(Interrupted, caption), IDOK);
    if (!box)
        return box;
    return EndsWith(run, 0);
}

bool WaitForEnabled(HWND dialog, int id, bool enabled)
{
    DWORD start = GetTickCount();
    while (ControlEnabled(dialog, id) != enabled && GetTickCount() - start < 5000)
        Sleep(10);
    return ControlEnabled(dialog, id) == enabled;
}

::testing::AssertionResult ShowsText(HWND wizard, const std::string& expected)
{
    std::string last;
    if (WaitForControlText(wizard, Info, expected, &last))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "info text \"" << last << "\", expected \"" << expected << "\"";
}

int ProgressPosition(HWND wizard)
{
    DWORD_PTR position = 0;
    SendMessageTimeoutA(GetDlgItem(wizard, ProgressBar), PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
    return (int)position;
}

::testing::AssertionResult ClickCancelOnceTheBarMoves(UpdaterRun& run, HWND wizard)
{
    DWORD start = GetTickCount();
    while (ProgressPosition(wizard) == 0 && GetTickCount() - start < 20000 && !run.Ended())
        Sleep(2);
    if (!Click(wizard, Cancel))
        return ::testing::AssertionFailure() << "Cancel is not clickable while the job runs";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult RunJobToEnd(HWND wizard, const std::string& modeWord)
{
    if (!Click(wizard, Next))
        return ::testing::AssertionFailure() << "Next is not clickable on the confirmation page";
    std::string last;
    if (!WaitForControlText(wizard, Info, modeWord + "は完了しました", &last))
        return ::testing::AssertionFailure() << "the job did not finish; info text \"" << last << "\"";
    if (!WaitForControlText(wizard, Next, "完了", &last))
        return ::testing::AssertionFailure() << "button 1 reads \"" << last << "\"";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdatesToTheEnd(UpdaterRun& run)
{
    HWND wizard = run.WaitForWizard();
    if (!wizard)
        return ::testing::AssertionFailure() << run.problem;
    if (!Click(wizard, Next))
        return ::testing::AssertionFailure() << "Next is not clickable on the first page";
    ::testing::AssertionResult shown = ShowsText(wizard, "アップデートを実行します");
    if (!shown)
        return shown;
    ::testing::AssertionResult done = RunJobToEnd(wizard);
    if (!done)
        return done;
    if (!Click(wizard, Next))
        return ::testing::AssertionFailure() << "完了 is not clickable";
    return EndsWith(run, 1);
}

