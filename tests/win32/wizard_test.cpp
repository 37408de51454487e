#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "support/globals.h"
#include "support/updater_values.h"
#include "wizard/wizard.h"
#include "wizard_driver.h"

namespace {

// Process-wide values as the start-up leaves them, and an UPDATE.INI whose keys are all for another
// installation type, so the job finishes without writing anything.
class WizardTest : public ::testing::Test {
protected:
    CaptionRestored caption;  // SetUp sets the composed one
    ScratchFolder folder;
    MessageBoxCapture capture;  // answers every box, so an unexpected one cannot block a test

    void SetUp() override
    {
        lstrcpyA(WindowCaption, "表示ゲーム アップデート");
        lstrcpyA(ModeWord, "アップデート");
        ModeTextInstall = 0;
        lstrcpyA(GameTitle, "表示ゲーム");
        lstrcpyA(UpdaterTitle, "更新ツール");
        AgreementTextData = nullptr;
        AgreementTitleData = nullptr;
        MissingKeySilent = 1;
        memset(&InstallRecord, 0, sizeof InstallRecord);
        lstrcpyA(InstallRecord.InstPath, (folder / "inst").c_str());
        CreateDirectoryA(InstallRecord.InstPath, nullptr);
        InstallRecord.InstMode = 1;
        DataFolder[0] = '\0';
        WriteUpdateIni("[UPDATE]\r\nUpdateFile00=2,a.dat\r\n");
    }

    void WriteUpdateIni(const std::string& text)
    {
        UseUpdateIni(text);
    }
};

char AgreementText[] = "第1条 本ソフトウェアの利用規約\r\n第2条 表示";

TEST_F(WizardTest, StartStateOfEachTemplate)
{
    struct {
        int templateId;
        char* agreement;
        bool nextEnabled, agreementShown, disagreeChecked;
    } cases[] = {
        {WizardTemplatePlain, nullptr, true, false, false},
        {WizardTemplateAgreement, AgreementText, false, true, true},
    };
    for (const auto& c : cases) {
        AgreementTextData = c.agreement;
        WizardState start{};
        HWND seen = nullptr;
        HWND windowDuringRun = nullptr;
        std::string agreementBox;
        INT_PTR result = RunWizard(c.templateId, {[&](HWND dialog) {
                                       seen = dialog;
                                       windowDuringRun = WizardWindow;
                                       start = ReadWizardState(dialog);
                                       agreementBox = ControlText(dialog, WizardAgreementBox);
                                       Click(dialog, WizardCancelButton);
                                   }});
        SCOPED_TRACE(c.templateId);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(windowDuringRun, seen);
        EXPECT_EQ(WizardWindow, (HWND) nullptr) << "cleared once the dialog is gone";
        EXPECT_EQ(start.caption, "表示ゲーム アップデート");
        EXPECT_EQ(start.info, "「表示ゲーム」のアップデートを開始します");
        EXPECT_EQ(start.nextLabel, "次へ");
        EXPECT_EQ(start.nextEnabled, c.nextEnabled);
        EXPECT_FALSE(start.backEnabled);
        EXPECT_TRUE(start.cancelEnabled);
        EXPECT_EQ(start.agreementShown, c.agreementShown);
        EXPECT_EQ(start.agreeShown, c.agreementShown);
        EXPECT_EQ(start.disagreeShown, c.agreementShown);
        EXPECT_FALSE(start.agreeChecked);
        EXPECT_EQ(start.disagreeChecked, c.disagreeChecked);
        EXPECT_EQ(start.step, 0);
        EXPECT_EQ(start.busy, 0);
        EXPECT_EQ(agreementBox, c.agreement ? c.agreement : "");
    }
}

TEST_F(WizardTest, FirstPageAndConfirmationWordings)
{
    char percentTitle[] = "利用規約 100%%";
    char conversionTitle[] = "規約 %s と %i %I64u";
    struct {
        int install;
        const char* modeWord;
        char* title;
        const char* first;
        const char* confirmation;
    } cases[] = {
        {0, "アップデート", nullptr, "「表示ゲーム」のアップデートを開始します", "アップデートを実行します"},
        {1, "インストール", nullptr, "「更新ツール」のインストールを開始します", "インストールを実行します"},
        {0, "アップデート", percentTitle, "利用規約 100%", "アップデートを実行します"},
        {0, "アップデート", conversionTitle, "規約 %s と %i %I64u", "アップデートを実行します"},
    };
    for (const auto& c : cases) {
        ModeTextInstall = c.install;
        lstrcpyA(ModeWord, c.modeWord);
        AgreementTitleData = c.title;
        std::string first, confirmation;
        INT_PTR result = RunWizard(WizardTemplatePlain, {
                                                            [&](HWND dialog) {
                                                                first = ControlText(dialog, 1001);
                                                                Click(dialog, WizardNextButton);
                                                            },
                                                            [&](HWND dialog) {
                                                                confirmation = ControlText(dialog, 1001);
                                                                Click(dialog, WizardCancelButton);
                                                            },
                                                        });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(confirmation, c.confirmation);
    }
}

TEST_F(WizardTest, AgreementMustBeAcceptedBeforeNext)
{
    AgreementTextData = AgreementText;
    std::vector<WizardState> seen;
    auto look = [&](HWND dialog) { seen.push_back(ReadWizardState(dialog)); };
    INT_PTR result = RunWizard(WizardTemplateAgreement, {
                                                            [&](HWND dialog) { Click(dialog, WizardNextButton); },
                                                            [&](HWND dialog) {
                                                                look(dialog);  // 0: Next was disabled
                                                                Click(dialog, WizardAgreeRadio);
                                                            },
                                                            [&](HWND dialog) {
                                                                look(dialog);  // 1: accepted
                                                                Click(dialog, WizardDisagreeRadio);
                                                            },
                                                            [&](HWND dialog) {
                                                                look(dialog);  // 2: not accepted again
                                                                Click(dialog, WizardAgreeRadio);
                                                            },
                                                            [&](HWND dialog) { Click(dialog, WizardNextButton); },
                                                            [&](HWND dialog) {
                                                                look(dialog);  // 3: confirmation
                                                                Click(dialog, WizardCancelButton);
                                                            },
                                                        });
    EXPECT_EQ(result, -1);
    ASSERT_EQ(seen.size(), 4u);

    EXPECT_EQ(seen[0].step, 0);
    EXPECT_EQ(seen[0].info, "「表示ゲーム」のアップデートを開始します");
    EXPECT_TRUE(seen[0].disagreeChecked);

    EXPECT_TRUE(seen[1].nextEnabled);
    EXPECT_TRUE(seen[1].agreeChecked);
    EXPECT_FALSE(seen[1].disagreeChecked);

    EXPECT_FALSE(seen[2].nextEnabled);
    EXPECT_FALSE(seen[2].agreeChecked);
    EXPECT_TRUE(seen[2].disagreeChecked);

    EXPECT_EQ(seen[3].step, 1);
    EXPECT_EQ(seen[3].info, "アップデートを実行します");
    EXPECT_FALSE(seen[3].agreementShown);
    EXPECT_FALSE(seen[3].agreeShown);
    EXPECT_FALSE(seen[3].disagreeShown);
    EXPECT_TRUE(seen[3].nextEnabled);
    EXPECT_FALSE(seen[3].backEnabled);
    EXPECT_TRUE(seen[3].cancelEnabled);
}

TEST_F(WizardTest, CancelOnEitherPageEndsWithMinusOne)
{
    for (int nextClicks = 0; nextClicks < 2; ++nextClicks) {
        std::vector<WizardScriptStep> steps;
        for (int i = 0; i < nextClicks; ++i)
            steps.push_back([](HWND dialog) { Click(dialog, WizardNextButton); });
        int stepAtCancel = -99;
        steps.push_back([&](HWND dialog) {
            stepAtCancel = WizardStep;
            Click(dialog, WizardCancelButton);
        });
        EXPECT_EQ(RunWizard(WizardTemplatePlain, steps), -1) << nextClicks;
        EXPECT_EQ(stepAtCancel, nextClicks);
        EXPECT_EQ(WizardWindow, (HWND) nullptr);
    }
}

TEST_F(WizardTest, NotificationsOtherThanClicksChangeNothing)
{
    AgreementTextData = AgreementText;
    WizardState before{}, afterRefused{}, afterAccepted{};
    std::string typed;
    INT_PTR result = RunWizard(
        WizardTemplateAgreement,
        {
            [&](HWND dialog) {
                before = ReadWizardState(dialog);
                Notify(dialog, WizardAgreeRadio, BN_DOUBLECLICKED);
                Notify(dialog, WizardCancelButton, BN_DOUBLECLICKED);
                Notify(dialog, WizardAgreementBox, EN_CHANGE);
                // Typing into the agreement box: its change notification reaches the dialog for real.
                SetDlgItemTextA(dialog, WizardAgreementBox, "書き換えた");
                typed = ControlText(dialog, WizardAgreementBox);
            },
            [&](HWND dialog) {
                afterRefused = ReadWizardState(dialog);
                Click(dialog, WizardAgreeRadio);
            },
            [&](HWND dialog) {
                Notify(dialog, WizardNextButton, BN_DOUBLECLICKED);
                Notify(dialog, WizardNextButton, BN_SETFOCUS);
            },
            [&](HWND dialog) {
                afterAccepted = ReadWizardState(dialog);
                Click(dialog, WizardCancelButton);
            },
        });
    EXPECT_EQ(result, -1) << "only the final click ends the dialog";
    EXPECT_EQ(typed, "書き換えた");
    EXPECT_FALSE(afterRefused.nextEnabled);
    EXPECT_TRUE(afterRefused.disagreeChecked);
    EXPECT_EQ(afterRefused.info, before.info);
    EXPECT_EQ(afterRefused.step, 0);
    EXPECT_TRUE(afterAccepted.nextEnabled);
    EXPECT_EQ(afterAccepted.step, 0);
    EXPECT_EQ(afterAccepted.info, before.info);
}

// The job's message box runs a nested loop that hands the wizard every click posted meanwhile. With all three
// buttons enabled again by hand, only the busy guard stands between Next and Back and the dialog; Cancel waits
// until the player has answered the job's box.
TEST_F(WizardTest, ClicksWhileTheJobRunsAreDropped)
{
    int busyInBox = -1;
    INT_PTR cursorAnswer = -1;
    HCURSOR cursorInBox = nullptr;
    capture.onBox = [&](const CapturedBox&) {
        HWND dialog = WizardWindow;
        busyInBox = WizardBusy;
        cursorAnswer = WizardDialogProc(dialog, WM_SETCURSOR, (WPARAM)dialog, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        cursorInBox = GetCursor();
        for (int id : {WizardNextButton, WizardBackButton, WizardCancelButton})
            EnableWindow(GetDlgItem(dialog, id), TRUE);
        Click(dialog, WizardCancelButton);
        Click(dialog, WizardBackButton);
        Click(dialog, WizardBackButton);
        Click(dialog, WizardNextButton);
        return IDOK;
    };
    WizardState finished{};
    INT_PTR idleCursorAnswer = -1;
    INT_PTR result = RunWizard(WizardTemplatePlain, {
                                                        [](HWND dialog) { Click(dialog, WizardNextButton); },
                                                        [](HWND dialog) { Click(dialog, WizardNextButton); },
                                                        [&](HWND dialog) {
                                                            finished = ReadWizardState(dialog);
                                                            idleCursorAnswer = WizardDialogProc(
                                                                dialog, WM_SETCURSOR, (WPARAM)dialog,
                                                                MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
                                                            Click(dialog, WizardNextButton);
                                                        },
                                                    });
    ASSERT_EQ(capture.boxes.size(), 1u);
    EXPECT_EQ(capture.boxes[0].text, "アップデートする必要のあるファイルはありません");
    EXPECT_EQ(busyInBox, 1);
    EXPECT_EQ(cursorAnswer, TRUE);
    EXPECT_EQ(cursorInBox, LoadCursorA(nullptr, IDC_WAIT));
    EXPECT_EQ(idleCursorAnswer, FALSE);
    EXPECT_EQ(finished.step, 2) << "the dropped Back and Next left the step counter alone";
    EXPECT_EQ(finished.info, "アップデートは完了しました");
    EXPECT_EQ(finished.nextLabel, "完了");
    EXPECT_EQ(result, WizardFinished) << "the dropped Cancel did not end the dialog";
}

// Esc and the close box become Cancel commands, which Wine sends even while Cancel is disabled; Back is
// disabled too. None of them may turn a finished update into an interrupted one.
TEST_F(WizardTest, FinishedPageIgnoresDisabledButtonsAndEndsWithZero)
{
    WizardState finished{}, afterIgnored{};
    INT_PTR result = RunWizard(WizardTemplatePlain,
                               {
                                   [](HWND dialog) { Click(dialog, WizardNextButton); },
                                   [](HWND dialog) { Click(dialog, WizardNextButton); },
                                   [&](HWND dialog) {
                                       finished = ReadWizardState(dialog);
                                       Click(dialog, WizardCancelButton);
                                       Click(dialog, WizardBackButton);
                                       PostMessageA(dialog, WM_CLOSE, 0, 0);
                                       HWND focus = GetFocus();
                                       PostMessageA(focus ? focus : dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                                       PostMessageA(focus ? focus : dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
                                   },
                                   [&](HWND dialog) {
                                       afterIgnored = ReadWizardState(dialog);
                                       Click(dialog, WizardNextButton);
                                   },
                               });
    EXPECT_EQ(finished.info, "アップデートは完了しました");
    EXPECT_EQ(finished.nextLabel, "完了");
    EXPECT_TRUE(finished.nextEnabled);
    EXPECT_TRUE(finished.nextFocused);
    EXPECT_FALSE(finished.backEnabled);
    EXPECT_FALSE(finished.cancelEnabled);
    EXPECT_EQ(afterIgnored.step, 2);
    EXPECT_EQ(afterIgnored.info, "アップデートは完了しました");
    EXPECT_EQ(result, WizardFinished);
    EXPECT_EQ(WizardWindow, (HWND) nullptr);
}

// "ディスク容量が足りません。\rC: ドライブに N バイトの空き容量が必要です": N, or 0 when the text has another form.
unsigned long long ShortfallIn(const std::string& text, const std::string& drive)
{
    std::string head = "ディスク容量が足りません。\r" + drive + " ドライブに ";
    std::string tail = " バイトの空き容量が必要です";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return 0;
    std::string digits = text.substr(head.size(), text.size() - head.size() - tail.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return strtoull(digits.c_str(), nullptr, 10);
}

TEST_F(WizardTest, BackAfterAShortageRunsTheJobAgain)
{
    // 10^18 bytes: more than any disk, and past 32 bits, so it must be compared in full.
    WriteUpdateIni("[UPDATE]\r\nRequiredDiskSpace=1000000000000000000\r\nUpdateFile00=2,a.dat\r\n");
    std::string drive = std::string(InstallRecord.InstPath, 2);
    WizardState shortage{}, afterNext{}, confirmation{}, finished{};
    size_t boxesAtShortage = 99;
    INT_PTR result = RunWizard(
        WizardTemplatePlain,
        {
            [](HWND dialog) { Click(dialog, WizardNextButton); },
            [](HWND dialog) { Click(dialog, WizardNextButton); },
            [&](HWND dialog) {
                shortage = ReadWizardState(dialog);
                boxesAtShortage = capture.boxes.size();
                Click(dialog, WizardNextButton);  // disabled on the shortage page
            },
            [&](HWND dialog) {
                afterNext = ReadWizardState(dialog);
                Click(dialog, WizardBackButton);
            },
            [&](HWND dialog) {
                confirmation = ReadWizardState(dialog);
                WriteUpdateIni("[UPDATE]\r\nRequiredDiskSpace=1\r\nUpdateFile00=2,a.dat\r\n");
                Click(dialog, WizardNextButton);
            },
            [&](HWND dialog) {
                finished = ReadWizardState(dialog);
                Click(dialog, WizardNextButton);
            },
        });
    unsigned long long shortfall = ShortfallIn(shortage.info, drive);
    EXPECT_GT(shortfall, 999000000000000000ull) << shortage.info;
    EXPECT_LT(shortfall, 1000000000000000000ull) << shortage.info;
    EXPECT_EQ(shortage.step, 2);
    EXPECT_TRUE(shortage.backEnabled);
    EXPECT_FALSE(shortage.nextEnabled);
    EXPECT_TRUE(shortage.cancelEnabled);
    EXPECT_EQ(shortage.nextLabel, "次へ");
    EXPECT_EQ(boxesAtShortage, 0u) << "the shortage shows no box";

    EXPECT_EQ(afterNext.step, 2);
    EXPECT_EQ(afterNext.info, shortage.info);

    EXPECT_EQ(confirmation.step, 1);
    EXPECT_EQ(confirmation.info, "アップデートを実行します");
    EXPECT_FALSE(confirmation.backEnabled);
    EXPECT_TRUE(confirmation.nextEnabled);
    EXPECT_TRUE(confirmation.cancelEnabled);

    EXPECT_EQ(finished.step, 2);
    EXPECT_EQ(finished.info, "アップデートは完了しました");
    EXPECT_EQ(finished.nextLabel, "完了");
    ASSERT_EQ(capture.boxes.size(), 1u) << "the second run reached the item lists";
    EXPECT_EQ(result, WizardFinished);
}

// The controls draw in the template's face and size, in the Shift-JIS character set: where that face is
// missing, the font mapper then picks a Japanese one. Each template, and a second wizard in the same process.
TEST_F(WizardTest, ControlsUseTheTemplateFontInTheShiftJisCharacterSet)
{
    AgreementTextData = AgreementText;
    for (int templateId : {WizardTemplateAgreement, WizardTemplatePlain, WizardTemplateAgreement}) {
        SCOPED_TRACE(templateId);
        std::vector<std::string> problems;
        int controls = 0;
        RunWizard(templateId, {[&](HWND dialog) {
                      // The dialog's own font is the one the dialog manager made from the template.
                      LOGFONTW dialogFont{};
                      GetObjectW((HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0), sizeof dialogFont, &dialogFont);
                      for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                          ++controls;
                          LOGFONTW font{};
                          HFONT handle = (HFONT)SendMessageW(child, WM_GETFONT, 0, 0);
                          if (!handle || GetObjectW(handle, sizeof font, &font) != sizeof font) {
                              problems.push_back("control " + std::to_string(GetDlgCtrlID(child)) + ": no font");
                              continue;
                          }
                          if (font.lfCharSet != SHIFTJIS_CHARSET || wcscmp(font.lfFaceName, L"\uff2d\uff33 "
                                                                                           L"\uff30\u30b4\u30b7\u30c3\u30af") ||
                              font.lfHeight != dialogFont.lfHeight)
                              problems.push_back("control " + std::to_string(GetDlgCtrlID(child)) + ": charset " +
                                                 std::to_string(font.lfCharSet) + ", height " +
                                                 std::to_string(font.lfHeight));
                      }
                      Click(dialog, WizardCancelButton);
                  }});
        EXPECT_EQ(controls, templateId == WizardTemplatePlain ? 6 : 9);  // the job's bar and file name included
        EXPECT_TRUE(problems.empty()) << problems[0];
    }
}

}  // namespace
