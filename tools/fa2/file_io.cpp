#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "support/cp932.h"

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

static const uint64_t FileTimeUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns steps since 1601

#ifdef _WIN32
static std::wstring Widen(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide(count > 0 ? count : 0, L'\0');
    if (count > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], count);
    return wide;
}

static std::string LastErrorText()
{
    char text[256];
    DWORD code = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                        sizeof text, nullptr))
        snprintf(text, sizeof text, "error %lu", (unsigned long)code);
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}
#endif

static FILE* OpenFile(const std::string& path, const char* mode)
{
#ifdef _WIN32
    return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
#else
    return fopen(path.c_str(), mode);
#endif
}

int ReadWholeFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error)
{
    FILE* file = OpenFile(path, "rb");
    if (!file) {
        *error = path + ": " + strerror(errno);
        return 0;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    int failed = ferror(file);
    fclose(file);
    if (failed) {
        *error = path + ": read error";
        return 0;
    }
    bytes->swap(data);
    return 1;
}

int WriteWholeFile(const std::string& path, const unsigned char* data, size_t size, std::string* error)
{
    FILE* file = OpenFile(path, "wb");
    if (!file) {
        *error = path + ": " + strerror(errno);
        return 0;
    }
    int ok = (size == 0 || fwrite(data, 1, size, file) == size);
    if (fclose(file) != 0)
        ok = 0;
    if (!ok) {
        *error = path + ": write error";
        return 0;
    }
    return 1;
}

FILE* OpenFileForReading(const std::string& path, std::string* error)
{
    FILE* file = OpenFile(path, "rb");
    if (!file)
        *error = path + ": " + strerror(errno);
    return file;
}

FILE* CreateNewFile(const std::string& path, std::string* error)
{
#ifdef _WIN32
    int fd = _wopen(Widen(path).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    FILE* file = fd >= 0 ? _fdopen(fd, "w+b") : nullptr;
#else
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
#endif
    if (!file) {
        *error = path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
}

int IsRegularFileOrAbsent(const std::string& path, std::string* error)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
#else
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
#endif
        *error = path + ": a link, a folder or a device has this name; it is not followed";
        return 0;
    }
    return 1;
}

int ReplaceFileWith(const std::string& from, const std::string& to, std::string* error)
{
#ifdef _WIN32
    if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *error = to + ": " + LastErrorText();
        return 0;
    }
#else
    if (rename(from.c_str(), to.c_str()) != 0) {
        *error = to + ": " + strerror(errno);
        return 0;
    }
#endif
    return 1;
}

void RemoveFileQuietly(const std::string& path)
{
    std::error_code code;
    fs::remove(fs::u8path(path), code);
}

int GetFileTimeValue(const std::string& path, uint64_t* fileTime, std::string* error)
{
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
        *error = path + ": " + LastErrorText();
        return 0;
    }
    *fileTime = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
#else
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = path + ": " + strerror(errno);
        return 0;
    }
    *fileTime = FileTimeFromUnix((int64_t)info.st_mtim.tv_sec, (uint32_t)info.st_mtim.tv_nsec);
#endif
    return 1;
}

int SetFileTimeValue(const std::string& path, uint64_t fileTime, std::string* error)
{
#ifdef _WIN32
    HANDLE file = CreateFileW(Widen(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = path + ": " + LastErrorText();
        return 0;
    }
    FILETIME time;
    time.dwLowDateTime = (DWORD)fileTime;
    time.dwHighDateTime = (DWORD)(fileTime >> 32);
    BOOL ok = SetFileTime(file, &time, &time, &time);
    if (!ok)
        *error = path + ": " + LastErrorText();
    CloseHandle(file);
    return ok ? 1 : 0;
#else
    int64_t seconds;
    uint32_t nanoseconds;
    UnixFromFileTime(fileTime, &seconds, &nanoseconds);
    struct timespec times[2];
    times[0].tv_sec = (time_t)seconds;
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        *error = path + ": cannot set the file time: " + strerror(errno);
        return 0;
    }
    return 1;
#endif
}

int ListFolderFiles(const std::string& dir, std::vector<std::string>* names, std::vector<std::string>* skipped,
                    std::string* error)
{
    std::error_code code;
    fs::directory_iterator it(fs::u8path(dir), code);
    if (code) {
        *error = dir + ": " + code.message();
        return 0;
    }
    std::vector<std::string> files, others;
    for (; it != fs::directory_iterator(); it.increment(code)) {
        std::string name = it->path().filename().u8string();
        std::error_code kindCode;
        if (it->is_regular_file(kindCode))
            files.push_back(name);
        else
            others.push_back(name);
    }
    if (code) {
        *error = dir + ": " + code.message();
        return 0;
    }
    std::sort(files.begin(), files.end());
    std::sort(others.begin(), others.end());
    names->swap(files);
    if (skipped)
        skipped->swap(others);
    return 1;
}

int MakeFolders(const std::string& dir, std::string* error)
{
    std::error_code code;
    fs::path path = fs::u8path(dir);
    if (fs::is_directory(path, code))
        return 1;
    fs::create_directories(path, code);
    if (code) {
        *error = dir + ": " + code.message();
        return 0;
    }
    return 1;
}

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty())
        return name;
    char last = dir.back();
    if (last == '/' || last == '\\')
        return dir + name;
    return dir + "/" + name;
}

#ifdef _WIN32
static int Convert(UINT from, UINT to, const std::string& in, std::string* out)
{
    if (in.empty()) {
        out->clear();
        return 1;
    }
    int count = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), nullptr, 0);
    if (count <= 0)
        return 0;
    std::wstring wide(count, L'\0');
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), (int)in.size(), &wide[0], count);
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultArg = (to == CP_UTF8) ? nullptr : &usedDefault;  // UTF-8 refuses the argument
    DWORD flags = (to == CP_UTF8) ? 0 : WC_NO_BEST_FIT_CHARS;
    int bytes = WideCharToMultiByte(to, flags, wide.data(), count, nullptr, 0, nullptr, usedDefaultArg);
    if (bytes <= 0 || usedDefault)
        return 0;
    std::string result(bytes, '\0');
    WideCharToMultiByte(to, flags, wide.data(), count, &result[0], bytes, nullptr, usedDefaultArg);
    if (usedDefault)
        return 0;
    out->swap(result);
    return 1;
}

int Cp932ToUtf8(const std::string& cp932, std::string* utf8) { return Convert(932, CP_UTF8, cp932, utf8); }
int Utf8ToCp932(const std::string& utf8, std::string* cp932) { return Convert(CP_UTF8, 932, utf8, cp932); }
#else
static int Convert(const char* from, const char* to, const std::string& in, std::string* out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return 0;
    std::string result;
    char buffer[1024];
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    int ok = 1;
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        result.append(buffer, outPtr - buffer);
        if (done == (size_t)-1 && errno != E2BIG) {
            ok = 0;
            break;
        }
        if (done != (size_t)-1 && done > 0) {  // irreversible substitutions are not a faithful name
            ok = 0;
            break;
        }
    }
    iconv_close(cd);
    if (ok)
        out->swap(result);
    return ok;
}

int Cp932ToUtf8(const std::string& cp932, std::string* utf8) { return Convert("CP932", "UTF-8", cp932, utf8); }
int Utf8ToCp932(const std::string& utf8, std::string* cp932) { return Convert("UTF-8", "CP932", utf8, cp932); }
#endif

std::string Cp932ForDisplay(const char* bytes, size_t length)
{
    std::string whole;
    if (Cp932ToUtf8(std::string(bytes, length), &whole))
        return whole;
    std::string result;
    for (size_t i = 0; i < length;) {
        size_t step = (IsCp932LeadByte((unsigned char)bytes[i]) && i + 1 < length) ? 2 : 1;
        std::string one;
        if (Cp932ToUtf8(std::string(bytes + i, step), &one)) {
            result += one;
        } else {
            for (size_t k = 0; k < step; k++) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\x%02X", (unsigned char)bytes[i + k]);
                result += escape;
            }
        }
        i += step;
    }
    return result;
}

void UnixFromFileTime(uint64_t fileTime, int64_t* seconds, uint32_t* nanoseconds)
{
    // Whole seconds since 1601 first, so nothing overflows; then shift the epoch.
    uint64_t sinceOrigin = fileTime / 10000000u;
    *nanoseconds = (uint32_t)(fileTime % 10000000u) * 100u;
    *seconds = (int64_t)sinceOrigin - (int64_t)(FileTimeUnixEpoch / 10000000u);
}

uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds)
{
    const int64_t epochSeconds = (int64_t)(FileTimeUnixEpoch / 10000000u);
    const uint64_t lastSecond = UINT64_MAX / 10000000u;
    if (seconds < -epochSeconds)
        return 0;
    if (seconds > 0 && (uint64_t)seconds > lastSecond - (uint64_t)epochSeconds)
        return UINT64_MAX;
    uint64_t sinceOrigin = (uint64_t)(seconds + epochSeconds);
    if (sinceOrigin == lastSecond && nanoseconds / 100u > UINT64_MAX % 10000000u)
        return UINT64_MAX;
    return sinceOrigin * 10000000u + nanoseconds / 100u;
}

std::string FormatFileTimeIso(uint64_t fileTime)
{
    uint64_t totalSeconds = fileTime / 10000000u;
    uint32_t fraction = (uint32_t)(fileTime % 10000000u);
    int64_t days = (int64_t)(totalSeconds / 86400u);
    uint32_t daySeconds = (uint32_t)(totalSeconds % 86400u);
    // Days since 1601-01-01 to a civil date, counted in 400-year eras from 0000-03-01.
    int64_t z = days + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
    int64_t era = z / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    int day = (int)(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    int month = (int)(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    int length = snprintf(text, sizeof text, "%04lld-%02d-%02dT%02u:%02u:%02u", (long long)year, month, day,
                          daySeconds / 3600, daySeconds / 60 % 60, daySeconds % 60);
    if (fraction)
        snprintf(text + length, sizeof text - length, ".%07u", fraction);
    strncat(text, "Z", sizeof text - strlen(text) - 1);
    return text;
}
