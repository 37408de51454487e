#include "job/job_recovery.h"

#include <windows.h>

#include "job/job_journal.h"
#include "job/job_settle.h"
#include "support/messages.h"
#include "support/owned.h"
#include "support/text_format.h"
#include "support/updater_values.h"
#include "job/job_trust.h"
#include "support/file_calls.h"

const char StuckFormat[] =
    "ゲームのファイルを元に戻せませんでした。ファイルを使っているプログラムを終了してから、もう一度%sを実行して"
    "下さい";
const char LostFormat[] =
    "ゲームのファイル「%s」を元に戻せませんでした。元のファイルが見つかりません（ウイルス対策ソフトなどに削除された"
    "可能性があります）。ほかのファイルは元に戻しました。ゲームをインストールし直して下さい";

namespace {

// A journal this large is no journal of ours (one record per file and step, a few hundred bytes each).
const LONGLONG JournalSizeLimit = 256LL * 1024 * 1024;

void ShowStuck()
{
    char text[1024];
    FormatText(text, sizeof text, StuckFormat, ModeWord);
    ShowUpdaterError(text);
}

HANDLE OpenJournal(const char* path, DWORD access)
{
    return Files.CreateFileA(path, access | READ_CONTROL | DELETE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Why a journal was not acted on, and what the player can do; the files are as the journal found them.
void ShowLeftAlone(JournalTrust trust, const char* recordedFolder)
{
    char text[1024];
    if (trust == JournalOtherPlace)
        FormatText(text, sizeof text,
                   "前回の%sの作業記録 ~UPDATE.JNL は、ゲームが「%s」にあったときのものです。ゲームの場所が変わったため、"
                   "ゲームのファイルには何もしていません。ゲームを元の場所に戻してから、もう一度%sを実行して下さい",
                   ModeWord, recordedFolder, ModeWord);
    else if (trust == JournalNotOurs)
        FormatText(text, sizeof text,
                   "インストール先にある作業記録 ~UPDATE.JNL は、このアップデータが書いたものと確かめられないため、"
                   "使いませんでした。ゲームのファイルには何もしていません。~UPDATE.JNL を削除してから、もう一度%sを"
                   "実行して下さい",
                   ModeWord);
    else
        FormatText(text, sizeof text,
                   "インストール先にある作業記録 ~UPDATE.JNL は、別のバージョンのアップデータが書いたものです。この"
                   "アップデータでは使えないため、ゲームのファイルには何もしていません。それを書いたアップデータを"
                   "もう一度実行して作業を終えてから、%sを実行して下さい",
                   ModeWord);
    ShowUpdaterError(text);
}

// What the start did with a journal it settled.
void ShowSettled(SettleResult result)
{
    char text[1024];
    if (result == SettledRolledBack) {
        FormatText(text, sizeof text, "前回の%sは途中で終わっていたため、ゲームのファイルを元に戻しました", ModeWord);
        ShowUpdaterNotice(text);
    } else if (result == SettledCleanedUp) {
        FormatText(text, sizeof text, "前回の%sは完了していました。残っていた一時ファイルを削除しました", ModeWord);
        ShowUpdaterNotice(text);
    }
}

// The whole journal, read through `file`; null when it cannot be read.
unsigned char* ReadJournal(HANDLE file, size_t* size)
{
    LARGE_INTEGER length;
    if (!Files.GetFileSizeEx(file, &length) || length.QuadPart > JournalSizeLimit)
        return nullptr;
    *size = (size_t)length.QuadPart;
    unsigned char* bytes = (unsigned char*)GlobalAlloc(GMEM_FIXED, *size ? *size : 1);
    DWORD read = 0;
    if (bytes && (!Files.ReadFile(file, bytes, (DWORD)*size, &read, nullptr) || read != *size)) {
        GlobalFree(bytes);
        bytes = nullptr;
    }
    return bytes;
}

}  // namespace

int FinishInterruptedJob(const InstalledGame& game)
{
    char path[MAX_PATH];
    if (!JournalPathFor(game.InstPath, path))
        return 1;
    // No sharing: while a job runs, its journal is open and this fails with a sharing violation. That job is the
    // other copy's, which the single-instance check finds next. A link is opened as itself, never followed.
    HANDLE file = OpenJournal(path, GENERIC_READ | GENERIC_WRITE);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        file = OpenJournal(path, GENERIC_READ);  // read-only: a rollback cannot record its progress, and says so
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SHARING_VIOLATION)
            return 1;
        ShowStuck();
        return 0;
    }
    FileHandle held(file);
    GlobalBlock bytes;
    size_t size = 0;
    bytes.bytes = ReadJournal(file, &size);
    if (!bytes.bytes) {
        ShowStuck();
        return 0;
    }
    // A file of that name that is no journal at all stays as it is.
    JournalHeaderState header = ReadJournalHeader(bytes.bytes, size);
    if (header == JournalHeaderForeign)
        return 1;
    char recorded[MAX_PATH] = "";
    JournalTrust trust = JournalFileIsOurs(file) ? JournalTrusted : JournalNotOurs;
    if (trust == JournalTrusted && header == JournalHeaderValid)
        trust = CheckJournalRecords(bytes.bytes, size, game.InstPath, game.DataPath, recorded);
    if (trust != JournalTrusted || header == JournalHeaderOtherVersion) {
        ShowLeftAlone(trust, recorded);
        return 0;
    }
    // Held open while the files are put right, so that no second start settles the same journal meanwhile. A torn
    // header means nothing had been recorded, so nothing done.
    char lost[MAX_PATH] = "";
    SettleResult result = header == JournalHeaderValid ? SettleJournal(bytes.bytes, size, file, lost) : SettledNothing;
    if (result == SettleStuck || result == SettleLost) {
        char text[1024];
        FormatText(text, sizeof text, result == SettleLost ? LostFormat : StuckFormat,
                   result == SettleLost ? lost : ModeWord);
        ShowUpdaterError(text);
        return 0;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    Files.SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    Files.CloseHandle(held.handle);
    held.handle = INVALID_HANDLE_VALUE;
    if (result == SettledRolledBack)
        RestoreFolderTimes(bytes.bytes, size);
    ShowSettled(result);
    return 1;
}
