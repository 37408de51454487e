#include "job/job_recovery.h"

#include <windows.h>

#include "job/job_journal.h"
#include "job/job_links.h"
#include "job/job_scope.h"
#include "job/job_seal.h"
#include "job/job_settle.h"
#include "job/job_trust.h"
#include "support/file_calls.h"
#include "support/messages.h"
#include "support/owned.h"
#include "support/text_format.h"
#include "support/updater_values.h"

const char StuckFormat[] =
    "ゲームのファイルを元に戻せませんでした。ファイルを使っているプログラムを終了してから、もう一度%sを実行して"
    "下さい";
const char LostFormat[] =
    "ゲームのファイル「%s」を元に戻せませんでした。元のファイルが見つかりません（ウイルス対策ソフトなどに削除された"
    "可能性があります）。ほかのファイルは元に戻しました。ゲームをインストールし直して下さい";
const char UnrecordedFormat[] =
    "ゲームのファイルは元に戻しましたが、そのことを作業記録 ~UPDATE.JNL に書き込めませんでした（読み取り専用に"
    "なっているか、ディスクがいっぱいです）。~UPDATE.JNL の読み取り専用を外すか、ディスクの空きを増やしてから、"
    "もう一度%sを実行して下さい";

namespace {

// A journal this large is no journal of ours (one record per file and step, a few hundred bytes each).
const LONGLONG JournalSizeLimit = 256LL * 1024 * 1024;

// What a file of the journal's name is when it is no journal.
const char IsAFolder[] = "同じ名前のフォルダーです";
const char IsALink[] = "ファイルへのリンクです";
const char CannotBeOpened[] = "開くことができないファイルです";
const char IsNoJournal[] = "作業記録の形式ではないファイルです";

void ShowNotAJournal(const char* what)
{
    char text[1024];
    FormatText(text, sizeof text,
               "インストール先にある ~UPDATE.JNL は、このアップデータの作業記録ではありません（%s）。ゲームのファイル"
               "には何もしていません。~UPDATE.JNL を削除するか名前を変えてから、もう一度%sを実行して下さい",
               what, ModeWord);
    ShowUpdaterError(text);
}

void ShowInUse()
{
    char text[1024];
    FormatText(text, sizeof text,
               "インストール先にある作業記録 ~UPDATE.JNL を、ほかのプログラムが使っています。ゲームのファイルには何も"
               "していません。そのプログラム（ウイルス対策ソフトやバックアップソフトなど）を終了してから、もう一度%s"
               "を実行して下さい",
               ModeWord);
    ShowUpdaterError(text);
}

void ShowSealUnsafe()
{
    char text[1024];
    FormatText(text, sizeof text,
               "このアップデータが作業の前に残す記録（レジストリの HKEY_LOCAL_MACHINE\\SOFTWARE\\FA2 Updater）を"
               "安全に読み取れません（管理者以外も書き換えられる状態か、記録が壊れています）。ゲームのファイルには何も"
               "していません。管理者に確認してから、もう一度%sを実行して下さい",
               ModeWord);
    ShowUpdaterError(text);
}

void ShowSealWithoutJournal(const char* folder)
{
    char text[1024];
    FormatText(text, sizeof text,
               "前回の%sの記録が残っていましたが、作業記録 ~UPDATE.JNL が「%s」に見つかりません。ゲームのファイル"
               "には何もせず、記録を削除しました",
               ModeWord, folder);
    ShowUpdaterNotice(text);
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
    else if (trust == JournalWithoutSeal)
        FormatText(text, sizeof text,
                   "インストール先にある作業記録 ~UPDATE.JNL には、このアップデータが作業の前に残す記録がありません。"
                   "このアップデータが書いたものと確かめられないため、ゲームのファイルには何もしていません。"
                   "~UPDATE.JNL を削除してから、もう一度%sを実行して下さい",
                   ModeWord);
    else
        FormatText(text, sizeof text,
                   "インストール先にある作業記録 ~UPDATE.JNL は、このアップデータが作業の前に残した記録と内容が違います"
                   "（ほかのプログラムかユーザーに書き換えられた可能性があります）。ゲームのファイルには何もしていません。"
                   "~UPDATE.JNL を削除し、ゲームをインストールし直してから、もう一度%sを実行して下さい",
                   ModeWord);
    ShowUpdaterError(text);
}

void ShowOtherVersion()
{
    char text[1024];
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

enum JournalOpen { JournalOpened, JournalMissing, JournalRefused };

// The journal in `folder`, opened as itself (a link is never followed) and without sharing, into `*file`. With
// JournalRefused the box saying why is shown.
JournalOpen OpenJournalIn(const char* folder, HANDLE* file)
{
    char path[MAX_PATH];
    if (!JournalPathFor(folder, path))
        return JournalMissing;
    // A read-only journal is read only (a process of an administrator under Wine could write it anyway): the
    // rollback then cannot record its end, and says so.
    const DWORD always = GENERIC_READ | READ_CONTROL | DELETE;
    DWORD attributes = Files.GetFileAttributesA(path);
    int readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    *file = Files.CreateFileA(path, readOnly ? always : always | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (*file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && !readOnly)
        *file = Files.CreateFileA(path, always, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (*file != INVALID_HANDLE_VALUE) {
        if (JournalFileIsPlain(*file))
            return JournalOpened;
        Files.CloseHandle(*file);
        *file = INVALID_HANDLE_VALUE;
        ShowNotAJournal(IsALink);
        return JournalRefused;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return JournalMissing;
    // No copy of ours runs (the caller holds the guard): the journal is held by another program.
    if (error == ERROR_SHARING_VIOLATION)
        ShowInUse();
    else {
        attributes = Files.GetFileAttributesA(path);
        ShowNotAJournal(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                            ? IsAFolder
                            : CannotBeOpened);
    }
    return JournalRefused;
}

// Settles a journal its seal allows, then removes it and the seal; `file` is closed either way. 1 to go on with the
// start-up.
int SettleSealed(HANDLE file, const unsigned char* bytes, size_t size, JournalHeaderState header)
{
    // Held open while the files are put right, so that no second start settles the same journal meanwhile. A torn
    // header means nothing had been recorded, so nothing done.
    char lost[MAX_PATH] = "";
    LinkFoundPath[0] = '\0';
    SettleResult result = header == JournalHeaderValid ? SettleJournal(bytes, size, file, lost) : SettledNothing;
    if (result == SettleStuck && LinkFoundPath[0]) {
        // Stuck on a link another user put in: no program holds the files, and the box says where the link is.
        Files.CloseHandle(file);
        ShowLinkFound();
        return 0;
    }
    if (result == SettleStuck || result == SettleLost || result == SettleUnrecorded) {
        char text[1024];
        FormatText(text, sizeof text,
                   result == SettleLost ? LostFormat : result == SettleStuck ? StuckFormat : UnrecordedFormat,
                   result == SettleLost ? lost : ModeWord);
        Files.CloseHandle(file);
        ShowUpdaterError(text);
        return 0;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    BOOL removed = Files.SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    Files.CloseHandle(file);
    // The seal goes only after its journal: a kill between the two leaves a seal without a journal, never the reverse.
    if (removed)
        RemoveJobSeal();
    if (result == SettledRolledBack)
        RestoreFolderTimes(bytes, size);
    ShowSettled(result);
    return 1;
}

}  // namespace

int FinishInterruptedJob(const InstalledGame& game)
{
    GlobalBlock seal;
    size_t sealSize = 0;
    SealState state = ReadJobSeal(&seal.bytes, &sealSize);
    char sealed[MAX_PATH] = "";
    if (state == SealKeyUnsafe || state == SealUnreadable ||
        (state == SealFound && !SealedFolder(seal.bytes, sealSize, sealed))) {
        ShowSealUnsafe();
        return 0;
    }
    // Where the seal says the job was; else, or when nothing is there, where the game is today (a moved game, or a
    // journal no job of ours sealed).
    const char* folder = sealed[0] ? sealed : game.InstPath;
    HANDLE file = INVALID_HANDLE_VALUE;
    JournalOpen opened = OpenJournalIn(folder, &file);
    if (opened == JournalMissing && sealed[0] && !SameJournalFolder(sealed, game.InstPath)) {
        folder = game.InstPath;
        opened = OpenJournalIn(folder, &file);
    }
    if (opened == JournalRefused)
        return 0;
    if (opened == JournalMissing) {
        if (!sealed[0])
            return 1;
        // Killed after the journal went and before its seal did (or before the journal was made): nothing to do.
        ShowSealWithoutJournal(sealed);
        RemoveJobSeal();
        return 1;
    }
    FileHandle held(file);
    GlobalBlock bytes;
    size_t size = 0;
    bytes.bytes = ReadJournal(file, &size);
    if (!bytes.bytes) {
        ShowNotAJournal(CannotBeOpened);
        return 0;
    }
    JournalHeaderState header = ReadJournalHeader(bytes.bytes, size);
    if (header == JournalHeaderForeign && !seal.bytes) {
        ShowNotAJournal(IsNoJournal);
        return 0;
    }
    if (header == JournalHeaderOtherVersion) {
        ShowOtherVersion();
        return 0;
    }
    char recorded[MAX_PATH] = "";
    JournalTrust trust = JudgeJournal(bytes.bytes, size, seal.bytes, sealSize, folder, recorded);
    if (trust != JournalTrusted) {
        ShowLeftAlone(trust, recorded);
        return 0;
    }
    held.handle = INVALID_HANDLE_VALUE;
    return SettleSealed(file, bytes.bytes, size, header);
}
