// The updater runs elevated from wherever it was downloaded. A DLL planted in that folder under the name of a DLL
// it loads must never run: these tests plant our own marker DLL under every such name and run a whole update that
// copies from the disc (so COM and the common controls are loaded), and check what the executable imports at load
// time.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "driver.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

// Names a DLL is planted under in published attacks on installers, whether or not this updater loads them.
const char* const ClassicPlantingNames[] = {
    "version.dll",  "uxtheme.dll", "dwmapi.dll",  "cryptbase.dll", "winmm.dll",   "profapi.dll",
    "userenv.dll",  "propsys.dll", "comctl32.dll", "cryptsp.dll",  "secur32.dll", "sspicli.dll",
    "apphelp.dll",  "netapi32.dll", "mpr.dll",     "setupapi.dll", "oleaut32.dll", "shfolder.dll",
    "dbghelp.dll",  "msimg32.dll", "urlmon.dll",  "wininet.dll",  "iertutil.dll", "windowscodecs.dll",
    "ntmarta.dll",  "rsaenh.dll",  "shlwapi.dll", "ole32.dll",    "shell32.dll", "combase.dll",
};

struct LoadedModule {
    std::string name;  // lower case
    std::string path;
};

std::vector<LoadedModule> ModulesOf(DWORD processId)
{
    std::vector<LoadedModule> modules;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return modules;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    if (Module32First(snapshot, &module)) {
        do {
            modules.push_back({Lower(module.szModule), module.szExePath});
        } while (Module32Next(snapshot, &module));
    }
    CloseHandle(snapshot);
    return modules;
}

std::string SystemFolder()
{
    char folder[MAX_PATH] = "";
    GetSystemDirectoryA(folder, MAX_PATH);
    return Lower(folder) + "\\";
}

// Modules loaded from anywhere but the system folder, the executable itself excepted.
std::vector<std::string> ModulesOutsideSystemFolder(const std::vector<LoadedModule>& modules, const std::string& exe)
{
    std::vector<std::string> outside;
    std::string system = SystemFolder();
    for (const auto& module : modules)
        if (Lower(module.path).compare(0, system.size(), system) != 0 && Lower(module.path) != Lower(exe))
            outside.push_back(module.path);
    return outside;
}

// A game with a disc to copy from, and the updater downloaded into a folder of its own.
struct DiscUpdate {
    CdDrives drives;
    UpdateScenario s;
    std::string downloads;

    ::testing::AssertionResult Prepare()
    {
        downloads = s.scratch / "Downloads";
        s.exePath = downloads + "\\DownloadedUpdate.exe";
        s.update.Set("CopyFile00", "1:movie\\op.dat");
        if (!WriteBytes("E:\\DISK1.CHK", "") || !WriteFileMakingFolders("E:\\movie\\op.dat", "opening movie"))
            return ::testing::AssertionFailure() << "cannot put the disc in E:";
        if (!s.Install())
            return ::testing::AssertionFailure() << "cannot install the game";
        std::string log;
        if (!s.Build(&log))
            return ::testing::AssertionFailure() << "fa2 build failed:\n" << log;
        return ::testing::AssertionSuccess();
    }

    // A whole update to its finished page; the modules loaded by then are returned before the run ends.
    ::testing::AssertionResult Run(std::vector<LoadedModule>* modules)
    {
        DeleteFileA((s.instPath + "\\movie\\op.dat").c_str());
        UpdaterRun run;
        if (!run.Start(s.exePath, s.tempDir))
            return ::testing::AssertionFailure() << "cannot start " << s.exePath;
        HWND wizard = run.WaitForWizard();
        if (!wizard)
            return ::testing::AssertionFailure() << run.problem;
        std::string last;
        if (!Click(wizard, 1) || !WaitForControlText(wizard, 1001, "アップデートを実行します", &last))
            return ::testing::AssertionFailure() << "no confirmation page: " << last;
        if (!Click(wizard, 1) || !WaitForControlText(wizard, 1001, "アップデートは完了しました", &last))
            return ::testing::AssertionFailure() << "the job did not finish: \"" << last << "\" " << run.problem;
        *modules = ModulesOf(run.process.dwProcessId);
        if (!Click(wizard, 1))
            return ::testing::AssertionFailure() << "完了 is not clickable";
        std::string what;
        if (!run.WaitForExit(&what))
            return ::testing::AssertionFailure() << what;
        if (run.exitCode != 1)
            return ::testing::AssertionFailure() << "exit code " << run.exitCode;
        if (ReadBytes(s.instPath + "\\movie\\op.dat") != "opening movie")
            return ::testing::AssertionFailure() << "the file from the disc was not copied";
        return ::testing::AssertionSuccess();
    }
};

// Wine's per-program DLL overrides: native (a DLL beside the program) before builtin for the given names, while
// alive.
struct NativeFirst {
    std::string key;
    NativeFirst(const std::string& program, const std::set<std::string>& names)
        : key("Software\\Wine\\AppDefaults\\" + program)
    {
        HKEY overrides;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &overrides, nullptr) != ERROR_SUCCESS)
            return;
        for (const auto& name : names)
            RegSetValueExA(overrides, name.substr(0, name.size() - 4).c_str(), 0, REG_SZ,
                           (const BYTE*)"native,builtin", sizeof "native,builtin");
        RegCloseKey(overrides);
    }
    ~NativeFirst()
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    }
    NativeFirst(const NativeFirst&) = delete;
    NativeFirst& operator=(const NativeFirst&) = delete;
};

// What the loader brings in before the updater's entry runs (the same load-time imports as the updater).
std::set<std::string> LoadedBeforeEntry(const std::string& scratchFolder, std::string* log)
{
    std::string list = scratchFolder + "\\before-entry.txt";
    int code = RunProgram("\"" + ImportTwinPath() + "\" \"" + list + "\"", log);
    std::set<std::string> names;
    std::string text = ReadBytes(list);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        names.insert(Lower(text.substr(start, end - start)));
    if (code != 0)
        names.clear();
    return names;
}

std::string JoinNames(const std::set<std::string>& names)
{
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : " ") + name;
    return text;
}

TEST(DllPlanting, NoDllBesideTheUpdaterEverRuns)
{
    std::string why;
    if (!CdDrives::Available(&why))
        GTEST_SKIP() << why;
    DiscUpdate update;
    ASSERT_TRUE(update.Prepare());

    std::string log;
    std::set<std::string> beforeEntry = LoadedBeforeEntry(update.s.scratch.path, &log);
    ASSERT_FALSE(beforeEntry.empty()) << log;

    // Every DLL a whole update loads, found by running one, plus the usual suspects.
    std::vector<LoadedModule> loaded;
    ASSERT_TRUE(update.Run(&loaded));
    std::vector<std::string> outside = ModulesOutsideSystemFolder(loaded, update.s.exePath);
    EXPECT_TRUE(outside.empty()) << "loaded from outside the system folder: " << outside[0];
    std::set<std::string> names;
    for (const auto& module : loaded)
        names.insert(module.name);
    // What the updater loads at run time: COM, and the common controls for the job's progress bar.
    ASSERT_TRUE(names.count("ole32.dll") && names.count("comctl32.dll"))
        << "the run did not load COM and the common controls, so it proves nothing about them";
    for (const char* name : ClassicPlantingNames)
        names.insert(name);
    names.erase(Lower(update.s.exePath.substr(update.s.exePath.rfind('\\') + 1)));
    // Loaded before the entry runs: no code of the updater can protect those (on Windows the known DLLs do).
    std::set<std::string> planted;
    for (const auto& name : names)
        if (!beforeEntry.count(name))
            planted.insert(name);
    RecordProperty("NotPlantedLoadedBeforeEntry", JoinNames(beforeEntry));
    RecordProperty("Planted", JoinNames(planted));
    ASSERT_GT(planted.size(), 20u);

    for (const auto& name : planted)
        ASSERT_TRUE(CopyFileA(PlantedDllPath().c_str(), (update.downloads + "\\" + name).c_str(), FALSE)) << name;
    // Native first for every planted name. Wine takes WINEDLLOVERRIDES from the Unix environment that the test run
    // started with, not from the block CreateProcess passes, so the same overrides go in per program instead.
    std::string twin = update.downloads + "\\control.exe";
    NativeFirst updaterOverrides(update.s.exePath.substr(update.s.exePath.rfind('\\') + 1), planted);
    NativeFirst controlOverrides("control.exe", planted);

    // The trap works: a program in that folder that loads one of these names the plain way runs the planted DLL.
    ASSERT_TRUE(CopyFileA(ImportTwinPath().c_str(), twin.c_str(), FALSE));
    int code = RunProgram("\"" + twin + "\" \"" + update.s.scratch / "control.txt" + "\" shell32.dll", &log);
    ASSERT_TRUE(PathExists(update.downloads + "\\shell32.dll.ran"))
        << "the planted DLL does not run even where it should, so its absence below would prove nothing (exit code "
        << code << ") " << log;
    ASSERT_TRUE(DeleteFileA((update.downloads + "\\shell32.dll.ran").c_str()));
    ASSERT_TRUE(DeleteFileA(twin.c_str()));

    std::vector<LoadedModule> loadedWithPlants;
    EXPECT_TRUE(update.Run(&loadedWithPlants));
    std::vector<std::string> markers = FilesMatching(update.downloads, "*.ran");
    EXPECT_TRUE(markers.empty()) << "a planted DLL ran: " << markers[0];
    outside = ModulesOutsideSystemFolder(loadedWithPlants, update.s.exePath);
    EXPECT_TRUE(outside.empty()) << "loaded from outside the system folder: " << outside[0];
}

// The parts of a PE image these checks need, read with every offset bounds-checked.
struct PeFacts {
    std::vector<std::string> imports;       // load-time import table
    std::vector<std::string> delayImports;  // delay-load table
    uint16_t characteristics = 0;
    uint16_t dllCharacteristics = 0;
    uint32_t relocationSize = 0;
    bool pe32Plus = false;  // the 64-bit layout
};

uint32_t U32(const std::string& image, size_t offset)
{
    return (uint8_t)image[offset] | (uint8_t)image[offset + 1] << 8 | (uint8_t)image[offset + 2] << 16 |
           (uint32_t)(uint8_t)image[offset + 3] << 24;
}

uint16_t U16(const std::string& image, size_t offset)
{
    return (uint16_t)((uint8_t)image[offset] | (uint8_t)image[offset + 1] << 8);
}

bool ReadPeFacts(const std::string& image, PeFacts* facts, std::string* why)
{
    if (image.size() < 0x40 || image.compare(0, 2, "MZ") != 0)
        return *why = "no MZ header", false;
    size_t pe = U32(image, 0x3C);
    if (pe > image.size() - 24 || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return *why = "no PE header", false;
    size_t fileHeader = pe + 4;
    unsigned sections = U16(image, fileHeader + 2);
    unsigned optionalSize = U16(image, fileHeader + 16);
    facts->characteristics = U16(image, fileHeader + 18);
    size_t optional = fileHeader + 20;
    // PE32 and PE32+ differ here only in where the data directories start (their image base and stack sizes
    // are 8 bytes wide in PE32+).
    if (optional + 2 > image.size())
        return *why = "optional header past the end", false;
    facts->pe32Plus = U16(image, optional) == 0x20B;
    size_t directoryStart = facts->pe32Plus ? 112 : 96;
    if ((U16(image, optional) != 0x10B && !facts->pe32Plus) || optionalSize < directoryStart ||
        optional + optionalSize > image.size())
        return *why = "not a PE32 or PE32+ optional header", false;
    facts->dllCharacteristics = U16(image, optional + 70);
    unsigned directories = U32(image, optional + directoryStart - 4);
    auto directory = [&](unsigned index, uint32_t* rva, uint32_t* size) {
        *rva = *size = 0;
        if (index < directories && directoryStart + 8 * (index + 1) <= optionalSize) {
            *rva = U32(image, optional + directoryStart + 8 * index);
            *size = U32(image, optional + directoryStart + 4 + 8 * index);
        }
    };
    size_t sectionTable = optional + optionalSize;
    if (sectionTable + 40 * (size_t)sections > image.size())
        return *why = "section table past the end", false;
    auto toOffset = [&](uint32_t rva, size_t* offset) {
        for (unsigned i = 0; i < sections; i++) {
            size_t entry = sectionTable + 40 * i;
            uint32_t virtualAddress = U32(image, entry + 12), rawSize = U32(image, entry + 16);
            uint32_t rawOffset = U32(image, entry + 20);
            if (rva >= virtualAddress && rva - virtualAddress < rawSize &&
                (size_t)rawOffset + (rva - virtualAddress) < image.size()) {
                *offset = rawOffset + (rva - virtualAddress);
                return true;
            }
        }
        return false;
    };
    auto readName = [&](uint32_t rva, std::string* name) {
        size_t offset;
        if (!toOffset(rva, &offset))
            return false;
        size_t end = image.find('\0', offset);
        if (end == std::string::npos || end - offset > 260)
            return false;
        *name = image.substr(offset, end - offset);
        return true;
    };
    // Import descriptors are 20 bytes with the name at 12; delay descriptors 32 bytes with the name at 4.
    struct {
        unsigned index;
        unsigned entrySize, nameField;
        std::vector<std::string>* names;
    } tables[] = {{1, 20, 12, &facts->imports}, {13, 32, 4, &facts->delayImports}};
    for (const auto& table : tables) {
        uint32_t rva, size;
        directory(table.index, &rva, &size);
        if (!rva)
            continue;
        size_t offset;
        if (!toOffset(rva, &offset))
            return *why = "import table outside the sections", false;
        for (;; offset += table.entrySize) {
            if (offset + table.entrySize > image.size())
                return *why = "import table past the end", false;
            uint32_t nameRva = U32(image, offset + table.nameField);
            if (!nameRva)
                break;
            std::string name;
            if (!readName(nameRva, &name))
                return *why = "import name outside the sections", false;
            table.names->push_back(Lower(name));
        }
    }
    uint32_t relocationRva;
    directory(5, &relocationRva, &facts->relocationSize);
    return true;
}

TEST(DllPlanting, LoadTimeImportsAreTheCoreSystemDllsOnly)
{
    // The stub as built and the updater as fa2 ships it (its resources rewritten) must agree.
    UpdateScenario s;
    std::string log;
    ASSERT_TRUE(s.Build(&log)) << log;
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"};
    for (const std::string& exe : {UpdaterStubPath(), s.exePath}) {
        SCOPED_TRACE(exe);
        bool read = false;
        std::string image = ReadBytes(exe, &read);
        ASSERT_TRUE(read);
        PeFacts facts;
        std::string why;
        ASSERT_TRUE(ReadPeFacts(image, &facts, &why)) << why;
        std::string list;
        for (const auto& name : facts.imports) {
            list += name + " ";
            EXPECT_TRUE(allowed.count(name)) << name << " is loaded before the entry can restrict the DLL search";
        }
        EXPECT_TRUE(std::count(facts.imports.begin(), facts.imports.end(), "kernel32.dll")) << list;
        RecordProperty("Imports", list);
        std::string delayed;
        for (const auto& name : facts.delayImports)
            delayed += name + " ";
        RecordProperty("DelayImports", delayed);

        EXPECT_TRUE(facts.dllCharacteristics & 0x0040) << "no ASLR (dynamic base)";
        EXPECT_TRUE(facts.dllCharacteristics & 0x0100) << "no DEP (NX compatible)";
        EXPECT_TRUE(facts.characteristics & 0x0020) << "not large-address-aware";
#ifdef _WIN64
        EXPECT_TRUE(facts.pe32Plus) << "the 64-bit updater is not a PE32+ image";
        EXPECT_TRUE(facts.dllCharacteristics & 0x0020) << "no high-entropy ASLR";
#else
        EXPECT_FALSE(facts.pe32Plus) << "the 32-bit updater is not a PE32 image";
#endif
        EXPECT_FALSE(facts.characteristics & 0x0001) << "relocations stripped: ASLR cannot move the image";
        EXPECT_GT(facts.relocationSize, 0u) << "no relocations: ASLR cannot move the image";
    }
}

}  // namespace
