#include "job/job_recovery.h"

#include <windows.h>

#include "job/job_journal.h"
#include "job/job_settle.h"
#include "support/messages.h"
#include "support/text_format.h"
#include "support/updater_values.h"

const char StuckFormat[] =
    "ゲームのファイルを元に戻せませんでした。ファイルを使っているプログラムを終了してから、もう一度%sを実行して"
    "下さい";

namespace {

// A journal this large is no journal of ours (one record per file and step, a few hundred bytes each).
const LONGLONG JournalSizeLimit = 256LL * 1024 * 1024;

void ShowStuck()
{
    char text[1024];
    FormatText(text, sizeof text, StuckFormat, ModeWord);
    ShowUpdaterError(text);
}

// The whole journal, read through `file`; null when it cannot be read.
unsigned char* ReadJournal(HANDLE file, size_t* size)
{
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length) || length.QuadPart > JournalSizeLimit)
        return nullptr;
    *size = (size_t)length.QuadPart;
    unsigned char* bytes = (unsigned char*)GlobalAlloc(GMEM_FIXED, *size ? *size : 1);
    DWORD read = 0;
    if (bytes && (!ReadFile(file, bytes, (DWORD)*size, &read, nullptr) || read != *size)) {
        GlobalFree(bytes);
        bytes = nullptr;
    }
    return bytes;
}

}  // namespace

int FinishInterruptedJob()
{
    char path[MAX_PATH];
    if (!JournalPathFor(InstallRecord.InstPath, path))
        return 1;
    // No sharing: while a job runs, its journal is open and this fails with a sharing violation. That job is the
    // other copy's, which the single-instance check finds next.
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SHARING_VIOLATION)
            return 1;
        ShowStuck();
        return 0;
    }
    size_t size = 0;
    unsigned char* bytes = ReadJournal(file, &size);
    if (!bytes) {
        CloseHandle(file);
        ShowStuck();
        return 0;
    }
    JournalHeaderState header = ReadJournalHeader(bytes, size);
    // Held open while the files are put right, so that no second start settles the same journal meanwhile.
    SettleResult result = header == JournalHeaderValid ? SettleJournal(bytes, size) : SettledNothing;
    CloseHandle(file);
    if (result == SettleStuck) {
        GlobalFree(bytes);
        ShowStuck();
        return 0;
    }
    // A file of that name that is not ours stays; a torn header means nothing had been recorded, so nothing done.
    if (header != JournalHeaderForeign)
        DeleteFileA(path);
    char text[1024];
    if (result == SettledRolledBack) {
        RestoreFolderTimes(bytes, size);
        FormatText(text, sizeof text, "前回の%sは途中で終わっていたため、ゲームのファイルを元に戻しました", ModeWord);
        ShowUpdaterNotice(text);
    } else if (result == SettledCleanedUp) {
        FormatText(text, sizeof text, "前回の%sは完了していました。残っていた一時ファイルを削除しました", ModeWord);
        ShowUpdaterNotice(text);
    }
    GlobalFree(bytes);
    return 1;
}
