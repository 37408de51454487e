#include "driver.h"

#include <algorithm>

#include <cstdio>

namespace {

// The build passes Unix paths; under Wine the whole Unix tree is drive Z:.
std::string FromBuildPath(const char* unixPath)
{
    std::string path = unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path[0] == '\\' ? "Z:" + path : path;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

unsigned UniqueCounter;

std::string UniqueSuffix()
{
    char text[64];
    snprintf(text, sizeof text, "%lx_%lx_%u", GetCurrentProcessId(), GetTickCount(), UniqueCounter++);
    return text;
}

bool CreateFolders(const std::string& path)
{
    for (size_t i = 3; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '\\') {
            std::string part = path.substr(0, i);
            if (!PathExists(part) && !CreateDirectoryA(part.c_str(), nullptr))
                return false;
        }
        // A double-byte character's trail byte may be 0x5C; it separates nothing.
        else if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < path.size())
            i++;
    }
    return true;
}

std::string ParentFolder(const std::string& path)
{
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); i++) {
        if (IsDBCSLeadByte((BYTE)path[i]))
            i++;
        else if (path[i] == '\\')
            cut = i;
    }
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// A window's text as UTF-16: the ANSI messages would turn it into the system's code page, losing Japanese on
// most of them.
ScreenText SendText(HWND window)
{
    ScreenText text;
    if (!window)
        return text;
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &length))
        return text;
    std::vector<wchar_t> buffer(length + 64 + 1, L'\0');
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), (LPARAM)buffer.data(), SMTO_ABORTIFHUNG, 3000,
                            &copied))
        text.wide = buffer.data();
    return text;
}

std::wstring ToWide(UINT codePage, const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int units = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide(units > 0 ? units : 0, L'\0');
    if (units > 0)
        MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &wide[0], units);
    return wide;
}

bool CreateFoldersWide(const std::wstring& path)
{
    for (size_t i = 3; i <= path.size(); i++) {
        if (i < path.size() && path[i] != L'\\')
            continue;
        std::wstring part = path.substr(0, i);
        if (GetFileAttributesW(part.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(part.c_str(), nullptr))
            return false;
    }
    return true;
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectProcessWindows(HWND window, LPARAM parameter)
{
    WindowSearch* search = (WindowSearch*)parameter;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> ProcessWindows(DWORD processId)
{
    WindowSearch search{processId, {}};
    EnumWindows(CollectProcessWindows, (LPARAM)&search);
    return search.found;
}

bool IsDialogWindow(HWND window)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    return lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window);
}

bool IsWizard(HWND window)
{
    return IsDialogWindow(window) && GetDlgItem(window, 1001);
}

bool IsMessageBox(HWND window)
{
    return IsDialogWindow(window) && GetDlgItem(window, 0xFFFF) && !GetDlgItem(window, 1001);
}

SeenBox ReadBox(HWND box)
{
    SeenBox seen;
    seen.window = box;
    seen.text = ControlText(box, 0xFFFF);
    seen.caption = WindowTitle(box);
    // Wine keeps the icon in static 0x440, Windows in 0x14; a box without icon has none set.
    HWND iconStatic = GetDlgItem(box, 0x440);
    if (!iconStatic)
        iconStatic = GetDlgItem(box, 0x14);
    DWORD_PTR icon = 0;
    if (iconStatic)
        SendMessageTimeoutA(iconStatic, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 3000, &icon);
    seen.icon = icon != 0;
    seen.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
    seen.owner = GetWindow(box, GW_OWNER);
    return seen;
}

std::string Describe(HWND window)
{
    if (IsWizard(window))
        return "the wizard showed, with the text \"" + ControlText(window, 1001).Cp932() + "\"";
    return "a box showed: \"" + ControlText(window, 0xFFFF).Cp932() + "\" (caption \"" + WindowTitle(window).Cp932() +
           "\")";
}

}  // namespace

const unsigned long long PayloadTime = 132617196000000000ull;  // 2021-04-01 03:00:00 UTC

std::wstring FromCp932(const std::string& cp932)
{
    return ToWide(932, cp932);
}

std::wstring FromAnsi(const std::string& ansi)
{
    return ToWide(CP_ACP, ansi);
}

std::string ScreenText::Cp932() const
{
    std::string text;
    for (wchar_t c : wide) {
        char bytes[8];
        BOOL lossy = FALSE;
        int count = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, sizeof bytes, nullptr, &lossy);
        if (count > 0 && !lossy) {
            text.append(bytes, count);
        } else {
            char code[16];
            snprintf(code, sizeof code, "<U+%04X>", (unsigned)c);
            text += code;
        }
    }
    return text;
}

bool operator==(const ScreenText& seen, const std::string& cp932)
{
    return seen.wide == FromCp932(cp932);
}

bool operator!=(const ScreenText& seen, const std::string& cp932)
{
    return !(seen == cp932);
}

std::ostream& operator<<(std::ostream& out, const ScreenText& text)
{
    return out << text.Cp932();
}

std::string UpdaterStubPath()
{
    return FromBuildPath(E2E_UPDATE_EXE);
}

std::string Fa2Path()
{
    return FromBuildPath(E2E_FA2_EXE);
}

std::string PlantedDllPath()
{
    return FromBuildPath(E2E_PLANTED_DLL);
}

std::string ImportTwinPath()
{
    return FromBuildPath(E2E_IMPORT_TWIN);
}

int RunProgram(const std::string& commandLine, std::string* output, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        if (output)
            *output = "cannot start: " + commandLine;
        return -1;
    }
    std::string text;
    DWORD start = GetTickCount();
    bool killed = false;
    for (;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, chunk, available < sizeof chunk ? available : sizeof chunk, &got, nullptr) ||
                got == 0)
                break;
            text.append(chunk, got);
        }
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0)
            break;
        if (GetTickCount() - start > timeoutMs) {
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, 5000);
            killed = true;
            break;
        }
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    if (output)
        *output = killed ? text + "\n(killed after the time limit)" : text;
    return killed ? -1 : (int)code;
}

bool WriteFileMakingFolders(const std::string& path, const std::string& bytes)
{
    std::string folder = ParentFolder(path);
    return (folder.empty() || CreateFolders(folder)) && WriteBytes(path, bytes);
}

bool WriteFileUnderCp932Name(const std::string& path, const std::string& bytes, unsigned long long time)
{
    std::wstring wide = FromCp932(path);
    size_t cut = wide.find_last_of(L'\\');
    if (cut != std::wstring::npos && !CreateFoldersWide(wide.substr(0, cut)))
        return false;
    if (!WriteBytesW(wide, bytes))
        return false;
    HANDLE file = CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME stamp = MakeFileTime(time);
    bool ok = SetFileTime(file, nullptr, &stamp, &stamp) != 0;
    CloseHandle(file);
    return ok;
}

std::string ReadFileUnderCp932Name(const std::string& path, bool* exists)
{
    return ReadBytesW(FromCp932(path), exists);
}

std::vector<std::string> FilesMatching(const std::string& folder, const std::string& pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

bool DeleteRegistryValue(const TempRegistryKey& key, const char* name)
{
    HKEY handle;
    std::string subKey = "Software\\" + key.company + "\\" + key.game;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    bool ok = RegDeleteValueA(handle, name) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

void IniSection::Set(const std::string& key, const std::string& value)
{
    for (auto& pair : keys)
        if (lstrcmpiA(pair.first.c_str(), key.c_str()) == 0) {
            pair.second = value;
            return;
        }
    keys.emplace_back(key, value);
}

void IniSection::Drop(const std::string& key)
{
    for (size_t i = 0; i < keys.size(); i++)
        if (lstrcmpiA(keys[i].first.c_str(), key.c_str()) == 0) {
            keys.erase(keys.begin() + i);
            return;
        }
}

std::string IniSection::Text(const char* name) const
{
    std::string text = std::string("[") + name + "]\r\n";
    for (const auto& pair : keys)
        text += pair.first + "=" + pair.second + "\r\n";
    return text;
}

UpdateScenario::UpdateScenario()
    : registry("風鈴坂テスト"), gameTitleInUpdateIni("旧題・風鈴坂"), gameTitle("風鈴坂テスト"),
      gameClass("E2EGameWindow_" + UniqueSuffix())
{
    instPath = scratch / "inst";
    dataPath = scratch / "data";
    tempDir = scratch / "tmp";
    exePath = scratch / "dist\\GameUpdate.exe";

    setup.Set("CompanyName", registry.company);
    setup.Set("GameTitle", gameTitleInUpdateIni);
    // UPDATE.INI's class is required but never used: SETUP.INI's replaces it.
    setup.Set("GameClass", "NotTheGameClass");
    setup.Set("GameDir", registry.game);
    setup.Set("UpdaterVersion", "1.02");

    update.Set("RequiredDiskSpace", "1000");
    update.Set("UpdateFile00", "scenario.dat");
    update.Set("UpdateFile01", "u,説明書.txt");
    update.Set("UpdateFile02", "d,system.sav");
    update.Set("UpdateFile03", "o,bgm\\theme.dat");
    update.Set("UpdateFile04", "2,voice.dat");

    payload = {
        {"scenario.dat", "scenario 1.02\r\n第二章を追加\r\n"},
        {"説明書.txt", "説明書 1.02\r\n"},
        {"system.sav", "savedata-template-1.02"},
        {"bgm\\theme.dat", std::string(3000, '\x5c') + "theme 1.02"},
        {"voice.dat", "voice 1.02"},
    };

    setupIni.Set("CompanyName", "ソラマメソフト");
    setupIni.Set("GameTitle", gameTitle);
    setupIni.Set("GameDir", registry.game);
    setupIni.Set("GameExe", "fuurin.exe");
    setupIni.Set("UninstExe", "uninst.exe");
    setupIni.Set("SetupBmp", "setup1.bmp, setup2.bmp");
    setupIni.Set("InstallSelects", "2");
    setupIni.Set("InstallTitle0", "標準インストール");
    setupIni.Set("InstallFiles0", "1:fuurin.exe, scenario.dat");
    setupIni.Set("InstallTitle1", "フルインストール");
    setupIni.Set("InstallFiles1", "1:fuurin.exe, scenario.dat, 2:voice.dat");
    setupIni.Set("Shortcuts", "1");
    setupIni.Set("Shortcut0", "風鈴坂テスト,fuurin.exe");
    setupIni.Set("GameClass", gameClass);
    setupIni.Set("DiskCheckFile1", "DISK1.CHK");
    setupIni.Set("DiskCheckFile2", "DISK2.CHK");
}

bool UpdateScenario::Install(DWORD instMode)
{
    if (!CreateFolders(instPath) || !CreateFolders(dataPath) || !CreateFolders(tempDir))
        return false;
    if (!WriteBytes(instPath + "\\SETUP.INI", setupIni.Text("SETUP")))
        return false;
    registry.SetString("InstPath", instPath);
    registry.SetString("DataPath", dataPath);
    registry.SetDword("InstMode", instMode);
    return true;
}

std::string UpdateScenario::UpdateIniText() const
{
    return "; e2e\r\n" + setup.Text("SETUP") + "\r\n" + update.Text("UPDATE");
}

bool ReadPayload(const std::string& exe, std::string* payload)
{
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC resource = module ? FindResourceA(module, MAKEINTRESOURCEA(102), "UPDATE") : nullptr;
    if (resource)
        payload->assign((const char*)LockResource(LoadResource(module, resource)), SizeofResource(module, resource));
    if (module)
        FreeLibrary(module);
    return resource != nullptr;
}

bool UpdateScenario::Build(std::string* log)
{
    std::string source = scratch / "src";
    if (!CreateFolders(source) || !CreateFolders(ParentFolder(exePath)))
        return false;
    if (!WriteBytes(source + "\\UPDATE.INI", UpdateIniText()))
        return false;
    // The publisher's folder holds the files under their own names, as any Unicode tool leaves them.
    for (const auto& file : payload)
        if (!WriteFileUnderCp932Name(source + "\\" + file.first, file.second, PayloadTime))
            return false;
    // Entry times must come from the files.
    SetEnvironmentVariableA("SOURCE_DATE_EPOCH", nullptr);
    std::string command = Quoted(Fa2Path()) + " build " + Quoted(source) + " -o " + Quoted(exePath) + " --stub " +
                          Quoted(stub.empty() ? UpdaterStubPath() : stub) +
                          (buildOptions.empty() ? "" : " " + buildOptions);
    std::string output;
    int code = RunProgram(command, &output);
    if (log)
        *log = command + "\n" + output;
    return code == 0 && PathExists(exePath);
}

std::string UpdateScenario::DefaultCaption() const
{
    return gameTitle + " アップデータ 1.02";
}

UpdaterRun::~UpdaterRun()
{
    Kill();
    if (process.hThread)
        CloseHandle(process.hThread);
    if (process.hProcess)
        CloseHandle(process.hProcess);
}

namespace {

// Starts `exe` with the inherited environment, `settings` ("NAME=value") added or replacing what is there.
bool StartProcess(const std::string& exe, const std::vector<std::wstring>& settings, PROCESS_INFORMATION* process)
{
    std::wstring block;
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; entry && *entry; entry += lstrlenW(entry) + 1) {
        std::wstring text = entry;
        bool replaced = false;
        for (const auto& setting : settings) {
            size_t nameLength = setting.find(L'=') + 1;
            if (text.size() >= nameLength && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, text.c_str(),
                                                            (int)nameLength, setting.c_str(),
                                                            (int)nameLength) == CSTR_EQUAL)
                replaced = true;
        }
        if (!replaced)
            block += text + L'\0';
    }
    if (inherited)
        FreeEnvironmentStringsW(inherited);
    for (const auto& setting : settings)
        block += setting + L'\0';
    block += L'\0';

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring path = FromAnsi(exe);
    std::wstring line = L"\"" + path + L"\"";
    std::wstring folder = FromAnsi(ParentFolder(exe));
    return CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          (void*)block.data(), folder.empty() ? nullptr : folder.c_str(), &startup, process) != 0;
}

}  // namespace

bool UpdaterRun::Start(const std::string& exe, const std::string& tempFolder,
                       const std::vector<std::string>& extraEnvironment)
{
    tempDir = tempFolder;
    std::vector<std::wstring> settings;
    for (const auto& setting : extraEnvironment)
        settings.push_back(FromAnsi(setting));
    settings.push_back(L"TEMP=" + FromAnsi(tempFolder));
    settings.push_back(L"TMP=" + FromAnsi(tempFolder));
    if (!StartProcess(exe, settings, &process))
        return false;
    exitCode = STILL_ACTIVE;
    return true;
}

bool UpdaterRun::StartWithWideTemp(const std::string& exe, const std::wstring& tempFolder)
{
    wchar_t shortForm[MAX_PATH] = L"";
    char ansi[MAX_PATH * 2] = "";
    if (GetShortPathNameW(tempFolder.c_str(), shortForm, MAX_PATH))
        WideCharToMultiByte(CP_ACP, 0, shortForm, -1, ansi, sizeof ansi, nullptr, nullptr);
    tempDir = ansi;
    if (!StartProcess(exe, {L"TEMP=" + tempFolder, L"TMP=" + tempFolder}, &process))
        return false;
    exitCode = STILL_ACTIVE;
    return true;
}

std::vector<HWND> UpdaterRun::VisibleDialogs() const
{
    std::vector<HWND> dialogs;
    for (HWND window : ProcessWindows(process.dwProcessId))
        if (IsWizard(window) || IsMessageBox(window))
            dialogs.push_back(window);
    return dialogs;
}

bool UpdaterRun::Ended()
{
    if (WaitForSingleObject(process.hProcess, 20) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process.hProcess, &exitCode);
    problem = "the updater ended with exit code " + std::to_string(exitCode);
    return true;
}

HWND UpdaterRun::WaitForWizard(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    DWORD boxSince = 0;
    do {
        HWND box = nullptr;
        for (HWND window : ProcessWindows(process.dwProcessId)) {
            if (IsWizard(window))
                return window;
            if (IsMessageBox(window))
                box = window;
        }
        // A box with no wizard behind it, for longer than a wizard takes to follow, is what the user got instead.
        if (!box)
            boxSince = 0;
        else if (!boxSince)
            boxSince = GetTickCount();
        else if (GetTickCount() - boxSince > 1500) {
            problem = "no wizard; " + Describe(box);
            return nullptr;
        }
        if (Ended())
            return nullptr;
    } while (GetTickCount() - start < timeoutMs);
    problem = "no wizard within the time limit";
    return nullptr;
}

bool UpdaterRun::WaitForBox(SeenBox* box, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    bool seen = false;
    do {
        for (HWND window : ProcessWindows(process.dwProcessId))
            if (IsMessageBox(window)) {
                *box = ReadBox(window);
                seen = true;
                // A box can show before its text and icon are set (seen with the slower timing of an emulated
                // CPU): it is read once it has its text.
                if (!box->text.wide.empty())
                    return true;
            }
        if (Ended())
            return false;
    } while (GetTickCount() - start < timeoutMs);
    if (seen)
        return true;
    problem = "no message box within the time limit";
    return false;
}

bool UpdaterRun::Answer(const SeenBox& box, int buttonId, DWORD timeoutMs)
{
    HWND button = GetDlgItem(box.window, buttonId);
    if (!button)
        return false;
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), (LPARAM)button);
    DWORD start = GetTickCount();
    while (IsWindow(box.window)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

bool UpdaterRun::WaitForExit(std::string* what, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    // The dialog just clicked closes when the updater gets to the click, later under an emulated CPU: only a
    // dialog that was not there when the wait began, or one still there at the time limit, is what the player
    // got instead.
    std::vector<HWND> clicked = VisibleDialogs();
    for (;;) {
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &exitCode);
            return true;
        }
        std::vector<HWND> dialogs = VisibleDialogs();
        bool late = GetTickCount() - start > timeoutMs;
        for (HWND dialog : dialogs) {
            if (late || std::find(clicked.begin(), clicked.end(), dialog) == clicked.end()) {
                if (what)
                    *what = "instead of ending, " + Describe(dialog);
                return false;
            }
        }
        if (late) {
            if (what)
                *what = "still running after the time limit";
            return false;
        }
    }
}

void UpdaterRun::Kill()
{
    if (process.hProcess && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, 5000);
    }
}

ScreenText ControlText(HWND dialog, int id)
{
    return SendText(GetDlgItem(dialog, id));
}

ScreenText WindowTitle(HWND window)
{
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return ScreenText{text};
}

bool ControlEnabled(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    return control && IsWindowEnabled(control);
}

bool ControlVisible(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    return control && IsWindowVisible(control);
}

bool RadioChecked(HWND dialog, int id)
{
    DWORD_PTR state = 0;
    HWND control = GetDlgItem(dialog, id);
    return control && SendMessageTimeoutA(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 3000, &state) &&
           state == BST_CHECKED;
}

bool Click(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control || !IsWindowVisible(control) || !IsWindowEnabled(control))
        return false;
    return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control) != 0;
}

bool WaitForControlText(HWND dialog, int id, const std::string& expected, std::string* last, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    ScreenText text;
    do {
        text = ControlText(dialog, id);
        if (text == expected)
            return true;
        Sleep(15);
    } while (GetTickCount() - start < timeoutMs && IsWindow(dialog));
    if (last)
        *last = text.Cp932();
    return false;
}

namespace {

LRESULT CALLBACK GameWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct GameThreadStart {
    GameWindow* game;
    HANDLE ready;
};

DWORD WINAPI GameThread(LPVOID parameter)
{
    GameThreadStart* start = (GameThreadStart*)parameter;
    GameWindow* game = start->game;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = GameWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = game->className.c_str();
    RegisterClassA(&windowClass);  // a second window of the same class finds it registered
    game->window = CreateWindowExA(0, game->className.c_str(), game->title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 320,
                                   200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetEvent(start->ready);
    if (!game->window)
        return 1;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

}  // namespace

GameWindow::GameWindow(const std::string& windowClass, const std::string& windowTitle)
    : className(windowClass), title(windowTitle)
{
    GameThreadStart start{this, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    thread = CreateThread(nullptr, 0, GameThread, &start, 0, nullptr);
    if (thread)
        WaitForSingleObject(start.ready, 10000);
    CloseHandle(start.ready);
}

GameWindow::~GameWindow()
{
    Close();
}

void GameWindow::Close()
{
    if (!thread)
        return;
    if (window)
        PostMessageA(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0)
        TerminateThread(thread, 1);
    CloseHandle(thread);
    thread = nullptr;
    window = nullptr;
}
