#include "messages.h"

#include "globals.h"
#include "ui_text.h"

const char NotFoundText[] = "Can't Find File in Resource !!";
const char NoMemoryText[] = "Can't Allocate Memory !!";
const char DamagedPayloadText[] = "アップデータのデータが壊れています。アップデータをもう一度ダウンロードして下さい";
const char LinkFoundFormat[] =
    "「%s」は、ゲームのフォルダーの外を指すリンク（ジャンクション、シンボリックリンクまたはハードリンク）です。"
    "フォルダーの外のファイルを変更しないよう、リンクの先には何もせずに作業を中止しました。リンクを取り除いてから、"
    "もう一度%sを実行して下さい";
const char DiskShortageFormat[] = "ディスク容量が足りません。%s ドライブに %I64u バイトの空き容量が必要です";

int ShowSettingsError(const char* text)
{
    return ShowTextBox(WizardWindow, text, "INSTCMMN", MB_ICONERROR);
}

int ShowUpdaterError(const char* text)
{
    return ShowTextBox(WizardWindow, text, WindowCaption, MB_ICONERROR);
}

int ShowUpdaterNotice(const char* text)
{
    return ShowTextBox(WizardWindow, text, WindowCaption, MB_ICONINFORMATION);
}

int AskUpdaterQuestion(const char* text)
{
    return ShowTextBox(WizardWindow, text, WindowCaption, MB_OKCANCEL);
}
