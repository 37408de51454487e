#pragma once
// The player and the publisher, as a program: builds an updater with fa2.exe, installs a game for it, starts it,
// and reads and clicks its windows from outside, the way a person at the screen would.
#include <windows.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

// A text as the player sees it on the screen, read back as UTF-16 whatever the system's code page. It equals a
// cp932 string (the tests' expected texts) when that string, read as code page 932, is the same UTF-16.
struct ScreenText {
    std::wstring wide;
    // For messages: the text in cp932, a character without a cp932 form as <U+XXXX>.
    std::string Cp932() const;
};
bool operator==(const ScreenText& seen, const std::string& cp932);
bool operator!=(const ScreenText& seen, const std::string& cp932);
std::ostream& operator<<(std::ostream& out, const ScreenText& text);

// cp932 text read as code page 932, and a text in the system's ANSI code page (the driver's own paths, which it
// hands to the ANSI calls as a game on this system would) as UTF-16.
std::wstring FromCp932(const std::string& cp932);
std::wstring FromAnsi(const std::string& ansi);

// Programs of this build tree, as the Windows side sees them.
std::string UpdaterStubPath();
std::string Fa2Path();
std::string PlantedDllPath();
std::string ImportTwinPath();

// The payload (resource UPDATE 102) of a built updater; false when it has none.
bool ReadPayload(const std::string& exe, std::string* payload);

// Runs a command line with its output captured and a time limit (the program is killed when it runs over).
// Returns the exit code, or -1 when it could not start or was killed.
int RunProgram(const std::string& commandLine, std::string* output, DWORD timeoutMs = 60000);

// Writes a file, creating the folders of its path on the way.
bool WriteFileMakingFolders(const std::string& path, const std::string& bytes);
// The same for a file whose name is cp932 text, written under the name read as code page 932 (what a Unicode
// tool makes of it, such as the publisher's checkout or an unpacker), with its last-write time.
bool WriteFileUnderCp932Name(const std::string& path, const std::string& bytes, unsigned long long time);
std::string ReadFileUnderCp932Name(const std::string& path, bool* exists = nullptr);
bool DeleteRegistryValue(const TempRegistryKey& key, const char* name);
// Names in `folder` that match `pattern` (such as "UPD*.tmp").
std::vector<std::string> FilesMatching(const std::string& folder, const std::string& pattern);

// One settings file section as ordered key/value pairs; Set replaces a key or adds it, Drop removes it.
struct IniSection {
    std::vector<std::pair<std::string, std::string>> keys;
    void Set(const std::string& key, const std::string& value);
    void Drop(const std::string& key);
    std::string Text(const char* name) const;  // "[name]\r\nkey=value\r\n..."
};

// Whole-second file time given to every payload file, so the written files can be checked against it.
extern const unsigned long long PayloadTime;

// A game installed for the current user and the update made for it. The defaults describe a working update of a
// game titled "風鈴坂テスト" (SETUP.INI's title); each test changes what it is about, then calls Install and Build.
struct UpdateScenario {
    ScratchFolder scratch;
    TempRegistryKey registry;
    std::string gameTitleInUpdateIni;  // the title UPDATE.INI gives (only the not-installed message shows it)
    std::string gameTitle;             // SETUP.INI's title
    std::string gameClass;             // unique per scenario, so no other test's window matches
    IniSection setup;                  // UPDATE.INI [SETUP]
    IniSection update;                 // UPDATE.INI [UPDATE]
    IniSection setupIni;               // SETUP.INI [SETUP]
    std::vector<std::pair<std::string, std::string>> payload;  // relative path in the source folder, bytes
    std::string instPath, dataPath, tempDir, exePath;
    std::string stub;                  // the UPDATE.exe that fa2 copies; empty: this build tree's
    std::string buildOptions;          // more options for fa2.exe build ("--store", "--scramble")

    UpdateScenario();
    // Registry values InstPath/DataPath/InstMode, the installation and data folders and SETUP.INI.
    bool Install(DWORD instMode = 1);
    // Writes the source folder (UPDATE.INI and the payload, all stamped PayloadTime) and runs fa2.exe build.
    bool Build(std::string* log);
    // The default caption: "<title> アップデータ <version>".
    std::string DefaultCaption() const;
    std::string UpdateIniText() const;
};

// A message box of the updater, read from outside.
struct SeenBox {
    HWND window = nullptr;
    ScreenText text;
    ScreenText caption;
    bool icon = false;     // any icon (error boxes have one, questions none)
    bool hasCancel = false;
    HWND owner = nullptr;
};

// One run of an updater under test. The temporary folder is the run's own (TEMP and TMP point at it), so what the
// updater leaves there is known exactly. A run that is still alive at the end of the scope is killed.
struct UpdaterRun {
    PROCESS_INFORMATION process{};
    std::string tempDir;
    DWORD exitCode = STILL_ACTIVE;
    std::string problem;  // what was seen instead when a wait failed

    UpdaterRun() = default;
    ~UpdaterRun();
    UpdaterRun(const UpdaterRun&) = delete;
    UpdaterRun& operator=(const UpdaterRun&) = delete;

    // `extraEnvironment`: "NAME=value" entries added to (or replacing) the inherited environment.
    bool Start(const std::string& exe, const std::string& tempFolder,
               const std::vector<std::string>& extraEnvironment = {});
    // The same with a temporary folder whose name need not have an ANSI form (a user name with "é" on a Japanese
    // system). `tempDir` becomes the folder's ANSI short form when it exists, for the checks of what is left.
    bool StartWithWideTemp(const std::string& exe, const std::wstring& tempFolder);
    // The wizard (a visible dialog with the info text) or a visible message box of this process; null on timeout.
    HWND WaitForWizard(DWORD timeoutMs = 15000);
    bool WaitForBox(SeenBox* box, DWORD timeoutMs = 15000);
    // Presses a button of a box and waits until the box is gone.
    bool Answer(const SeenBox& box, int buttonId, DWORD timeoutMs = 5000);
    // Waits for the process to end. Fails at once (with `what` saying why) when a box or a wizard shows instead.
    bool WaitForExit(std::string* what, DWORD timeoutMs = 15000);
    // The visible top-level dialogs of this process (wizard and boxes), for "nothing else shows" checks.
    std::vector<HWND> VisibleDialogs() const;
    void Kill();
    bool Ended();  // true (with exitCode set) once the process has ended
};

// Reading and clicking the wizard's controls from outside.
ScreenText ControlText(HWND dialog, int id);
bool ControlEnabled(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
bool RadioChecked(HWND dialog, int id);
ScreenText WindowTitle(HWND window);
// Clicks a button as a person can: only when it exists, is visible and is enabled.
bool Click(HWND dialog, int id);
// Polls until the control's text equals `expected`; returns the last text seen (in cp932) otherwise.
bool WaitForControlText(HWND dialog, int id, const std::string& expected, std::string* last, DWORD timeoutMs = 10000);

// A window of the game, made on a thread of the driver's own: class and title as given, created hidden so that a
// ShowWindow from the updater can be seen.
struct GameWindow {
    HANDLE thread = nullptr;
    HWND window = nullptr;
    std::string className, title;
    GameWindow(const std::string& windowClass, const std::string& windowTitle);
    ~GameWindow();
    GameWindow(const GameWindow&) = delete;
    GameWindow& operator=(const GameWindow&) = delete;
    void Close();
};
