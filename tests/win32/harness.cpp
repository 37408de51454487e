#include "harness.h"

#include <algorithm>
#include <cstdio>

#include "support/globals.h"

namespace {

MessageBoxCapture* ActiveCapture;
HHOOK CaptureHook;

UINT ReadBoxStyle(HWND box)
{
    UINT style = 0;
    // Wine keeps the icon in static 0x440, Windows in 0x14.
    HWND iconStatic = GetDlgItem(box, 0x440);
    if (!iconStatic)
        iconStatic = GetDlgItem(box, 0x14);
    HICON icon = iconStatic ? (HICON)SendMessageA(iconStatic, STM_GETICON, 0, 0) : nullptr;
    if (icon) {
        if (icon == LoadIconA(nullptr, IDI_HAND))
            style |= MB_ICONERROR;
        else if (icon == LoadIconA(nullptr, IDI_QUESTION))
            style |= MB_ICONQUESTION;
        else if (icon == LoadIconA(nullptr, IDI_EXCLAMATION))
            style |= MB_ICONWARNING;
        else if (icon == LoadIconA(nullptr, IDI_ASTERISK))
            style |= MB_ICONINFORMATION;
    }
    bool ok = GetDlgItem(box, IDOK) != nullptr, cancel = GetDlgItem(box, IDCANCEL) != nullptr;
    bool yes = GetDlgItem(box, IDYES) != nullptr, no = GetDlgItem(box, IDNO) != nullptr;
    if (yes && no)
        style |= cancel ? MB_YESNOCANCEL : MB_YESNO;
    else if (ok && cancel)
        style |= MB_OKCANCEL;
    else
        style |= MB_OK;
    return style;
}

LRESULT CALLBACK CaptureProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && ActiveCapture) {
        HWND box = (HWND)wParam;
        char className[32] = "";
        GetClassNameA(box, className, sizeof className);
        if (lstrcmpA(className, "#32770") == 0 && GetDlgItem(box, 0xFFFF)) {
            CapturedBox captured;
            // Read as UTF-16 and kept as cp932 bytes, whatever the system's code page.
            wchar_t wide[4096] = L"";
            char text[8192] = "";
            GetDlgItemTextW(box, 0xFFFF, wide, 4096);
            WideCharToMultiByte(932, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            captured.text = text;
            wide[0] = L'\0';
            text[0] = '\0';
            GetWindowTextW(box, wide, 4096);
            WideCharToMultiByte(932, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            captured.caption = text;
            captured.style = ReadBoxStyle(box);
            captured.owner = GetWindow(box, GW_OWNER);
            ActiveCapture->boxes.push_back(captured);
            MessageBoxCapture* capture = ActiveCapture;
            int answer = IDOK;
            size_t index = capture->boxes.size() - 1;
            if (index < capture->answers.size())
                answer = capture->answers[index];
            else if (capture->onBox)
                answer = capture->onBox(captured);
            // Wine returns ids that have no button; press only a button the box has.
            HWND button = GetDlgItem(box, answer);
            if (!button) {
                answer = GetDlgItem(box, IDCANCEL) ? IDCANCEL : IDOK;
                button = GetDlgItem(box, answer);
            }
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), (LPARAM)button);
        }
    }
    return CallNextHookEx(CaptureHook, code, wParam, lParam);
}

std::string UniqueName(const char* prefix)
{
    static unsigned counter;
    char name[64];
    snprintf(name, sizeof name, "%s%lx-%lx-%u", prefix, GetCurrentProcessId(), GetTickCount(), counter++);
    return name;
}

// The Unix folder behind the test drives, as a Z: path (set by scripts/wine-run).
std::string MediaFolder()
{
    char value[MAX_PATH] = "";
    GetEnvironmentVariableA("UPD_MEDIA_DIR", value, sizeof value);
    return value;
}

}  // namespace

MessageBoxCapture::MessageBoxCapture()
{
    ActiveCapture = this;
    CaptureHook = SetWindowsHookExA(WH_CBT, CaptureProc, nullptr, GetCurrentThreadId());
}

MessageBoxCapture::~MessageBoxCapture()
{
    UnhookWindowsHookEx(CaptureHook);
    CaptureHook = nullptr;
    ActiveCapture = nullptr;
}

ScratchFolder::ScratchFolder()
{
    CreateDirectoryA("C:\\upd-tests", nullptr);
    path = "C:\\upd-tests\\" + UniqueName("t");
    CreateDirectoryA(path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    RemoveTree(path);
}

TempRegistryKey::TempRegistryKey(const std::string& gameDir) : company(UniqueName("UpdTest")), game(gameDir)
{
    HKEY key;
    std::string subKey = "Software\\" + company + "\\" + game;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

TempRegistryKey::~TempRegistryKey()
{
    std::string companyKey = "Software\\" + company;
    RegDeleteTreeA(HKEY_CURRENT_USER, companyKey.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, companyKey.c_str());
}

void TempRegistryKey::SetBinary(const char* name, const void* data, DWORD size, DWORD type)
{
    HKEY key;
    std::string subKey = "Software\\" + company + "\\" + game;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, name, 0, type, (const BYTE*)data, size);
        RegCloseKey(key);
    }
}

void TempRegistryKey::SetString(const char* name, const std::string& value)
{
    SetBinary(name, value.c_str(), (DWORD)value.size() + 1, REG_SZ);
}

void TempRegistryKey::SetDword(const char* name, DWORD value)
{
    SetBinary(name, &value, sizeof value, REG_DWORD);
}

PayloadModule::PayloadModule(const void* payload, size_t size, bool withPayload)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string copy = folder / "updater.exe";
    if (!CopyFileA(self, copy.c_str(), FALSE))
        return;
    if (withPayload) {
        HANDLE update = BeginUpdateResourceA(copy.c_str(), FALSE);
        if (!update)
            return;
        UpdateResourceA(update, "UPDATE", MAKEINTRESOURCEA(102), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT),
                        (void*)payload, (DWORD)size);
        if (!EndUpdateResourceA(update, FALSE))
            return;
    }
    module = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

PayloadModule::~PayloadModule()
{
    if (module)
        FreeLibrary(module);
}

namespace {

// Writes `bytes` into a file just created (or truncated) and closes it.
bool WriteAndClose(HANDLE file, const std::string& bytes)
{
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadAndClose(HANDLE file, bool* ok)
{
    std::string bytes;
    if (ok)
        *ok = false;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    CloseHandle(file);
    if (ok)
        *ok = true;
    return bytes;
}

}  // namespace

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    return WriteAndClose(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), bytes);
}

bool WriteBytesW(const std::wstring& path, const std::string& bytes)
{
    return WriteAndClose(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr), bytes);
}

std::string ReadBytes(const std::string& path, bool* ok)
{
    return ReadAndClose(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                        ok);
}

std::string ReadBytesW(const std::wstring& path, bool* ok)
{
    return ReadAndClose(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                        ok);
}

bool PathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileA(path.c_str()) != 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (lstrcmpA(found.cFileName, ".") && lstrcmpA(found.cFileName, ".."))
                RemoveTree(path + "\\" + found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryA(path.c_str()) != 0;
}

FILETIME MakeFileTime(unsigned long long value)
{
    FILETIME time;
    time.dwLowDateTime = (DWORD)value;
    time.dwHighDateTime = (DWORD)(value >> 32);
    return time;
}

unsigned long long FileTimeValue(const FILETIME& time)
{
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

bool GetFileTimes(const std::string& path, FILETIME* lastAccess, FILETIME* lastWrite)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = GetFileTime(file, nullptr, lastAccess, lastWrite);
    CloseHandle(file);
    return ok != 0;
}

bool SetLastWriteTime(const std::string& path, unsigned long long time)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME stamp = MakeFileTime(time);
    BOOL ok = SetFileTime(file, nullptr, &stamp, &stamp);
    CloseHandle(file);
    return ok != 0;
}

unsigned long long LastWriteTime(const std::string& path)
{
    FILETIME access{}, write{};
    return GetFileTimes(path, &access, &write) ? FileTimeValue(write) : 0;
}

namespace {

unsigned long long HashFile(const std::string& path)
{
    unsigned long long hash = 14695981039346656037ull;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    static char chunk[1 << 20];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        for (DWORD i = 0; i < read; ++i) {
            hash ^= (unsigned char)chunk[i];
            hash *= 1099511628211ull;
        }
    CloseHandle(file);
    return hash;
}

void SnapshotFolder(const std::string& root, const std::string& relative, TreeSnapshot* snapshot)
{
    WIN32_FIND_DATAA found;
    std::string folder = relative.empty() ? root : root + "\\" + relative;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::string> inner;
    do {
        if (!lstrcmpA(found.cFileName, ".") || !lstrcmpA(found.cFileName, ".."))
            continue;
        TreeEntry entry;
        entry.path = relative.empty() ? found.cFileName : relative + "\\" + found.cFileName;
        entry.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.attributes = found.dwFileAttributes;
        entry.lastWrite = FileTimeValue(found.ftLastWriteTime);
        entry.size = entry.folder ? 0 : ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        entry.hash = entry.folder ? 0 : HashFile(root + "\\" + entry.path);
        snapshot->push_back(entry);
        if (entry.folder)
            inner.push_back(entry.path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const std::string& path : inner)
        SnapshotFolder(root, path, snapshot);
}

}  // namespace

TreeSnapshot SnapshotTree(const std::string& root)
{
    TreeSnapshot snapshot;
    WIN32_FILE_ATTRIBUTE_DATA data;
    // The root's own time and attributes count too: the job writes into it.
    if (GetFileAttributesExA(root.c_str(), GetFileExInfoStandard, &data))
        snapshot.push_back(TreeEntry{".", true, data.dwFileAttributes, FileTimeValue(data.ftLastWriteTime), 0, 0});
    SnapshotFolder(root, "", &snapshot);
    std::sort(snapshot.begin(), snapshot.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return lstrcmpiA(a.path.c_str(), b.path.c_str()) < 0; });
    return snapshot;
}

TreeSnapshot SnapshotInstallation(const std::string& installation, const std::string& data)
{
    TreeSnapshot both = SnapshotTree(installation), saves = SnapshotTree(data);
    for (TreeEntry& entry : saves)
        entry.path = "<data>\\" + entry.path;
    both.insert(both.end(), saves.begin(), saves.end());
    return both;
}

std::string TreeDifferences(const TreeSnapshot& expected, const TreeSnapshot& actual, bool folderTimes)
{
    std::string differences;
    size_t i = 0, j = 0;
    while (i < expected.size() || j < actual.size()) {
        int order = i == expected.size()   ? 1
                    : j == actual.size()   ? -1
                                           : lstrcmpiA(expected[i].path.c_str(), actual[j].path.c_str());
        if (order < 0) {
            differences += "missing: " + expected[i++].path + "\n";
            continue;
        }
        if (order > 0) {
            differences += "extra: " + actual[j++].path + "\n";
            continue;
        }
        const TreeEntry& a = expected[i++];
        const TreeEntry& b = actual[j++];
        if (a.folder != b.folder)
            differences += "file or folder: " + a.path + "\n";
        else if (a.size != b.size || a.hash != b.hash)
            differences += "contents: " + a.path + " (" + std::to_string(a.size) + " -> " + std::to_string(b.size) +
                           " bytes)\n";
        if (a.attributes != b.attributes)
            differences += "attributes: " + a.path + " (" + std::to_string(a.attributes) + " -> " +
                           std::to_string(b.attributes) + ")\n";
        if (a.lastWrite != b.lastWrite && (folderTimes || !a.folder))
            differences += "last-write time: " + a.path + "\n";
    }
    return differences;
}

bool CdDrives::Available(std::string* why)
{
    if (GetDriveTypeA("D:\\") == DRIVE_CDROM && GetDriveTypeA("E:\\") == DRIVE_CDROM && !MediaFolder().empty())
        return true;
    *why = "D: and E: are not CD-ROM drives in this Wine prefix (run the tests through scripts/test)";
    return false;
}

CdDrives::CdDrives()
{
    for (char letter : {'D', 'E'}) {
        Insert(letter);
        std::string root = Root(letter);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((root + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (lstrcmpA(found.cFileName, ".") && lstrcmpA(found.cFileName, ".."))
                    RemoveTree(root + found.cFileName);
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
    }
}

CdDrives::~CdDrives()
{
    Insert('D');
    Insert('E');
}

void CdDrives::Eject(char letter)
{
    std::string disc = MediaFolder() + "\\cd-" + (char)(letter | 0x20);
    MoveFileA(disc.c_str(), (disc + ".ejected").c_str());
}

void CdDrives::Insert(char letter)
{
    std::string disc = MediaFolder() + "\\cd-" + (char)(letter | 0x20);
    if (!PathExists(disc))
        MoveFileA((disc + ".ejected").c_str(), disc.c_str());
    CreateDirectoryA(disc.c_str(), nullptr);
}

bool SmallDiskAvailable(std::string* why)
{
    ULARGE_INTEGER caller, total, totalFree;
    if (!GetDiskFreeSpaceExA("F:\\", &caller, &total, &totalFree)) {
        *why = "F: is not mapped (scripts/wine-prepare maps it to a small tmpfs when it runs as root)";
        return false;
    }
    if (total.QuadPart > 4 * 1024 * 1024) {
        *why = "F: is not the small tmpfs (mounting needs root); skipped";
        return false;
    }
    return true;
}

void ClearSmallDisk()
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("F:\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (lstrcmpA(found.cFileName, ".") && lstrcmpA(found.cFileName, ".."))
            RemoveTree(std::string("F:\\") + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void UseUpdateIni(const std::string& text)
{
    static std::string held;
    held = text;
    UpdateIniText = held.data();
    UpdateIniSize = (uint32_t)held.size();
}
