// Payload resources under the real loader: updaters written by the Win32 fa2 (and images rewritten in-process)
// are loaded with LoadLibraryExA/FindResourceA, probed by resource_probe, and started.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "file_io.h"
#include "pe_resources.h"

namespace {

typedef std::vector<unsigned char> Bytes;

std::string Native(const char* unixPath) { return std::string("Z:") + unixPath; }

unsigned long long Fnv1a64(const unsigned char* data, size_t size)
{
    unsigned long long hash = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string HashLine(const char* label, const Bytes& bytes)
{
    char line[128];
    snprintf(line, sizeof line, "%s size=%lu fnv1a64=%016llx", label, (unsigned long)bytes.size(),
             Fnv1a64(bytes.data(), bytes.size()));
    return line;
}

// Runs a program to its end; its stdout and stderr come back together, CRs removed.
int RunProgram(const std::string& commandLine, std::string* output)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return -1;
    }
    CloseHandle(writeEnd);
    output->clear();
    char chunk[4096];
    DWORD got;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, NULL) && got)
        for (DWORD i = 0; i < got; ++i)
            if (chunk[i] != '\r')
                *output += chunk[i];
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return (int)code;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string TempFolder(const char* name)
{
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    std::string dir = std::string(base) + "payload_resource_" + name;
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

Bytes ReadBytes(const std::string& path)
{
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(ReadWholeFile(path, &bytes, &error)) << error;
    return bytes;
}

// The resource as the Win32 loader finds it in a file loaded as data.
int LoaderResource(const std::string& exe, LPCSTR type, LPCSTR name, Bytes* bytes)
{
    HMODULE module = LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return 0;
    HRSRC found = FindResourceA(module, name, type);
    int ok = 0;
    if (found) {
        DWORD size = SizeofResource(module, found);
        HGLOBAL loaded = LoadResource(module, found);
        const unsigned char* data = loaded ? (const unsigned char*)LockResource(loaded) : NULL;
        if (data || !size) {
            bytes->assign(data, data + size);
            ok = 1;
        }
    }
    FreeLibrary(module);
    return ok;
}

std::string Probe(const std::string& exe, int* exitCode)
{
    std::string output;
    *exitCode = RunProgram(Quoted(Native(PRT_PROBE_EXE)) + " " + Quoted(exe), &output);
    return output;
}

// The line of a probe's output that starts with `label`, or "" when there is none.
std::string LineOf(const std::string& output, const char* label)
{
    size_t at = output.find(std::string("\n") + label);
    if (at == std::string::npos && output.compare(0, strlen(label), label) != 0)
        return "";
    at = at == std::string::npos ? 0 : at + 1;
    return output.substr(at, output.find('\n', at) - at);
}

std::string Fa2Build(const std::string& source, const std::string& out, const std::string& stub, int* exitCode,
                     const char* extra = "")
{
    std::string output;
    SetEnvironmentVariableA("SOURCE_DATE_EPOCH", "1700000000");
    *exitCode = RunProgram(Quoted(Native(PRT_FA2_EXE)) + " build " + Quoted(source) + " -o " + Quoted(out) +
                               " --stub " + Quoted(stub) + " " + extra,
                           &output);
    SetEnvironmentVariableA("SOURCE_DATE_EPOCH", NULL);
    return output;
}

// The sample, built into the real updater by the Win32 fa2: the loader finds an archive holding exactly the
// sample's files, and the dialogs and the manifest are the stub's own.
TEST(PayloadResource, Fa2BuildIntoTheUpdater)
{
#ifndef PRT_UPDATE_EXE
    GTEST_SKIP() << "UPDATE.exe is not part of this build";
#else
    std::string dir = TempFolder("updater");
    std::string exe = dir + "\\SampleUpdate.exe", again = dir + "\\SampleUpdate2.exe";
    std::string stub = Native(PRT_UPDATE_EXE), sample = Native(PRT_SAMPLE_DIR);
    int code;
    std::string log = Fa2Build(sample, exe, stub, &code);
    ASSERT_EQ(code, 0) << log;
    log = Fa2Build(sample, again, stub, &code);
    ASSERT_EQ(code, 0) << log;
    EXPECT_TRUE(ReadBytes(exe) == ReadBytes(again)) << "two builds differ";

    Bytes payload;
    ASSERT_TRUE(LoaderResource(exe, "UPDATE", MAKEINTRESOURCEA(102), &payload));
    LoadedArchive archive;
    std::string error;
    Bytes image = payload;
    ASSERT_TRUE(OpenLoadedArchive(&image, &archive, &error)) << error;
    ASSERT_EQ(LoadedEntryCount(archive), 8u);
    const char* files[] = {"UPDATE.INI", "AGREE.TXT",   "TITLE.TXT", "scenario.dat",
                           "system.sav", "bgm/theme.dat", "voice.dat", "\xE8\xAA\xAC\xE6\x98\x8E\xE6\x9B\xB8.txt"};
    for (uint32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(files[i]);
        Bytes data;
        ASSERT_TRUE(DecodeLoadedEntry(archive, i, &data, &error)) << error;
        EXPECT_TRUE(data == ReadBytes(Native(PRT_SAMPLE_DIR) + "/" + files[i]));
    }

    int probeCode;
    std::string probed = Probe(exe, &probeCode), original = Probe(stub, &probeCode);
    EXPECT_NE(probed.find(HashLine("UPDATE/102", payload) + "\n"), std::string::npos) << probed;
    // Whatever the stub carries of these (all three, once the updater has its dialogs) is carried unchanged.
    for (const char* label : {"DIALOG/100 ", "DIALOG/101 ", "MANIFEST/1 "})
        EXPECT_EQ(LineOf(probed, label), LineOf(original, label));
#endif
}

// This fa2 has the LZMA encoder as the Linux one does: its help names both codecs, an updater built with lzma
// verifies, and an unknown codec is a usage error that names the two, before anything is written.
TEST(PayloadResource, WindowsFa2NamesTheCodecsItHas)
{
#ifndef PRT_UPDATE_EXE
    GTEST_SKIP() << "UPDATE.exe is not part of this build";
#else
    std::string dir = TempFolder("codec");
    std::string help;
    EXPECT_EQ(RunProgram(Quoted(Native(PRT_FA2_EXE)) + " build --help", &help), 0);
    EXPECT_NE(help.find("--codec NAME       compression method: fa2 (the default) or lzma"), std::string::npos)
        << help;
    std::string out = dir + "\\x.exe", other = dir + "\\y.exe", stub = Native(PRT_UPDATE_EXE);
    int code;
    std::string output = Fa2Build(Native(PRT_SAMPLE_DIR), out, stub, &code, "--codec lzma");
    ASSERT_EQ(code, 0) << output;
    EXPECT_EQ(RunProgram(Quoted(Native(PRT_FA2_EXE)) + " verify " + Quoted(out), &output), 0) << output;
    Bytes payload;
    ASSERT_TRUE(LoaderResource(out, "UPDATE", MAKEINTRESOURCEA(102), &payload));
    LoadedArchive archive;
    std::string error;
    ASSERT_TRUE(OpenLoadedArchive(&payload, &archive, &error)) << error;
    EXPECT_EQ(LoadedTable(archive)->header.flags, ArchiveFlagNewMethods | ArchiveFlagTableLzma);
    output = Fa2Build(Native(PRT_SAMPLE_DIR), other, stub, &code, "--codec zstd");
    EXPECT_EQ(code, 2);
    EXPECT_NE(output.find("unknown codec zstd (codecs: fa2, lzma)"), std::string::npos) << output;
    EXPECT_EQ(GetFileAttributesA(other.c_str()), INVALID_FILE_ATTRIBUTES);
#endif
}

// Rewritten images still start, and find payloads of 0 bytes, a few bytes and tens of MB in themselves.
TEST(PayloadResource, RewrittenStubStartsAndReadsItsPayload)
{
    std::string dir = TempFolder("stub");
    Bytes stub = ReadBytes(Native(PRT_STUB_EXE));
    ASSERT_FALSE(stub.empty());
    std::string output;
    EXPECT_EQ(RunProgram(Quoted(Native(PRT_STUB_EXE)), &output), 3);
    EXPECT_EQ(output, "payload missing\n");

    for (size_t size : {(size_t)0, (size_t)5, (size_t)(24u << 20)}) {
        SCOPED_TRACE(size);
        Bytes payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = (unsigned char)((i * 2654435761u) >> 11);
        Bytes image;
        std::string error;
        ASSERT_TRUE(WritePeResource(stub.data(), stub.size(), "UPDATE", 102, 1041, payload.data(), payload.size(),
                                    &image, &error))
            << error;
        std::string exe = dir + "\\with_payload.exe";
        ASSERT_TRUE(WriteWholeFile(exe, image.data(), image.size(), &error)) << error;
        EXPECT_EQ(RunProgram(Quoted(exe), &output), 0);
        EXPECT_EQ(output, HashLine("payload", payload) + "\n");
        Bytes loaded;
        ASSERT_TRUE(LoaderResource(exe, "UPDATE", MAKEINTRESOURCEA(102), &loaded));
        EXPECT_TRUE(loaded == payload);
    }
}

// The Win32 fa2 on a folder of its own with the payload stub: the built program starts and sees the archive.
TEST(PayloadResource, Fa2BuildIntoAStubThatRuns)
{
    std::string dir = TempFolder("fa2stub");
    std::string source = dir + "\\src";
    CreateDirectoryA(source.c_str(), NULL);
    std::string error;
    const char ini[] = "[SETUP]\r\nCompanyName=c\r\nGameTitle=t\r\nGameClass=k\r\nGameDir=d\r\n"
                       "[UPDATE]\r\nUpdateFile00=a.dat\r\n";
    ASSERT_TRUE(WriteWholeFile(source + "\\UPDATE.INI", (const unsigned char*)ini, sizeof ini - 1, &error));
    const char data[] = "some data some data some data";
    ASSERT_TRUE(WriteWholeFile(source + "\\a.dat", (const unsigned char*)data, sizeof data - 1, &error));
    std::string exe = dir + "\\built.exe";
    int code;
    std::string log = Fa2Build(source, exe, Native(PRT_STUB_EXE), &code, "--best --scramble");
    ASSERT_EQ(code, 0) << log;
    Bytes payload;
    ASSERT_TRUE(LoaderResource(exe, "UPDATE", MAKEINTRESOURCEA(102), &payload));
    std::string output;
    EXPECT_EQ(RunProgram(Quoted(exe), &output), 0);
    EXPECT_EQ(output, HashLine("payload", payload) + "\n");
    EXPECT_EQ(RunProgram(Quoted(Native(PRT_FA2_EXE)) + " verify " + Quoted(exe), &output), 0) << output;
}

}  // namespace
