#pragma once
// Helpers for the Win32 tests that run under Wine: message-box capture, scratch folders, registry keys, and the
// CD-ROM and small-disk drive letters that scripts/wine-prepare sets up for every test prefix.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/globals.h"

// One message box as the code under test showed it.
struct CapturedBox {
    std::string text;     // cp932 bytes
    std::string caption;  // cp932 bytes
    UINT style;           // MB_ICONERROR/MB_ICONQUESTION/... | MB_OK/MB_OKCANCEL/..., as read back from the box
    HWND owner;
};

// While alive, every message box that this thread shows is recorded and answered. The answer is the button id
// that `onBox` returns (IDOK by default); `onBox` runs while the box is up, inside its nested message loop.
struct MessageBoxCapture {
    MessageBoxCapture();
    ~MessageBoxCapture();
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

    std::vector<CapturedBox> boxes;
    std::function<int(const CapturedBox&)> onBox;
    // Answers taken in order before `onBox` is asked; IDOK once both are exhausted.
    std::vector<int> answers;
};

// The window caption is process-wide and every box shows it: a test that sets it holds one of these, so the next
// test starts from the caption it found, also when a whole suite runs as one process.
struct CaptionRestored {
    char saved[sizeof WindowCaption];
    CaptionRestored() { lstrcpynA(saved, WindowCaption, sizeof saved); }
    ~CaptionRestored() { lstrcpyA(WindowCaption, saved); }
    CaptionRestored(const CaptionRestored&) = delete;
    CaptionRestored& operator=(const CaptionRestored&) = delete;
};

// A fresh folder under C:\upd-tests, removed with everything in it at the end of the scope.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string path;  // without a trailing backslash
    std::string operator/(const std::string& name) const { return path + "\\" + name; }
};

// A uniquely named key HKCU\Software\<company>\<game>, deleted with its company key at the end of the scope.
struct TempRegistryKey {
    explicit TempRegistryKey(const std::string& gameDir = "game");
    ~TempRegistryKey();
    TempRegistryKey(const TempRegistryKey&) = delete;
    TempRegistryKey& operator=(const TempRegistryKey&) = delete;
    std::string company;
    std::string game;
    void SetString(const char* name, const std::string& value);
    void SetBinary(const char* name, const void* data, DWORD size, DWORD type = REG_BINARY);
    void SetDword(const char* name, DWORD value);
};

// An updater in miniature for in-process runs: a copy of this test program (with its dialog templates) carrying
// `payload` as its UPDATE 102 resource (none when `withPayload` is false), loaded as a data file so the start-up
// finds both through the module handle.
struct PayloadModule {
    PayloadModule(const void* payload, size_t size, bool withPayload = true);
    ~PayloadModule();
    PayloadModule(const PayloadModule&) = delete;
    PayloadModule& operator=(const PayloadModule&) = delete;
    ScratchFolder folder;
    HMODULE module = nullptr;
};

// Makes `text` the UPDATE.INI every settings read of the updater takes its values from (the start-up's in-memory
// copy), until the next call.
void UseUpdateIni(const std::string& text);

// Files.
bool WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path, bool* ok = nullptr);
// The same through a wide path, for names that have no form in the system's code page.
bool WriteBytesW(const std::wstring& path, const std::string& bytes);
std::string ReadBytesW(const std::wstring& path, bool* ok = nullptr);
bool PathExists(const std::string& path);
bool RemoveTree(const std::string& path);
FILETIME MakeFileTime(unsigned long long value);
unsigned long long FileTimeValue(const FILETIME& time);
// Last-write and last-access times (Wine cannot set creation times).
bool GetFileTimes(const std::string& path, FILETIME* lastAccess, FILETIME* lastWrite);
// Sets the last-write and last-access times; LastWriteTime gives 0 when it cannot be read.
bool SetLastWriteTime(const std::string& path, unsigned long long time);
unsigned long long LastWriteTime(const std::string& path);

// Everything below a folder as the player's files are judged: each file and folder by its path below the root,
// with its attributes and last-write time, and a file's size and a hash of its bytes. Last-access times are left
// out (reading a file moves them).
struct TreeEntry {
    std::string path;
    bool folder;
    DWORD attributes;
    unsigned long long lastWrite;
    unsigned long long size;
    unsigned long long hash;
};
typedef std::vector<TreeEntry> TreeSnapshot;
TreeSnapshot SnapshotTree(const std::string& root);
// Both folders an update job may write: the installation folder, and the data folder's entries under "<data>\".
TreeSnapshot SnapshotInstallation(const std::string& installation, const std::string& data);
// "" when the two agree; otherwise the differences, one line each. `folderTimes` false leaves the folders'
// last-write times out (two separate runs write their folders at different times).
std::string TreeDifferences(const TreeSnapshot& expected, const TreeSnapshot& actual, bool folderTimes = true);

// CD-ROM drive letters D: and E: are folders on the Unix side; "ejecting" moves the folder away so the drive is
// empty, "inserting" brings it back. Both start inserted and empty for every test that uses them.
struct CdDrives {
    CdDrives();
    ~CdDrives();
    static bool Available(std::string* why);
    void Eject(char letter);
    void Insert(char letter);
    std::string Root(char letter) const { return std::string(1, letter) + ":\\"; }
};

// F: is a 1 MiB tmpfs when the test prefix could mount one (root only). Returns false with a reason otherwise.
bool SmallDiskAvailable(std::string* why);
// Removes everything on F:.
void ClearSmallDisk();
