#pragma once
// File, folder, time and text helpers of the fa2 tool, for Linux and Windows alike. Paths and text on the command
// line side are UTF-8; archive names are cp932 bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int ReadWholeFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error);
int WriteWholeFile(const std::string& path, const unsigned char* data, size_t size, std::string* error);

// Binary streams, with the reason in `error` when they cannot be had.
FILE* OpenFileForReading(const std::string& path, std::string* error);
// A file that must not exist yet, for reading and writing (a temporary file nobody else can have planted).
FILE* CreateNewFile(const std::string& path, std::string* error);
// 1 when nothing has the name, or a regular file does; 0 with the reason for a link, a folder or a device.
int IsRegularFileOrAbsent(const std::string& path, std::string* error);
// Puts `from` in the place of `to` in one step, replacing a file that is there.
int ReplaceFileWith(const std::string& from, const std::string& to, std::string* error);
void RemoveFileQuietly(const std::string& path);

// Last-write time as a FILETIME value.
int GetFileTimeValue(const std::string& path, uint64_t* fileTime, std::string* error);
// Sets the last-write and last-access times (and the creation time where the platform has one).
int SetFileTimeValue(const std::string& path, uint64_t fileTime, std::string* error);

// Names (UTF-8) of the regular files directly inside `dir`, sorted bytewise; other kinds go to `skipped`.
int ListFolderFiles(const std::string& dir, std::vector<std::string>* names, std::vector<std::string>* skipped,
                    std::string* error);
int MakeFolders(const std::string& dir, std::string* error);
std::string JoinPath(const std::string& dir, const std::string& name);

// Strict conversions: 0 when a character has no counterpart.
int Cp932ToUtf8(const std::string& cp932, std::string* utf8);
int Utf8ToCp932(const std::string& utf8, std::string* cp932);
// For showing a name: what cannot be converted appears as \xNN.
std::string Cp932ForDisplay(const char* bytes, size_t length);

// FILETIME <-> Unix time. Times before 1970 give negative seconds; nanoseconds are always 0..999999999.
void UnixFromFileTime(uint64_t fileTime, int64_t* seconds, uint32_t* nanoseconds);
// Clamped to the FILETIME range (before 1601 gives 0).
uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);
// "2024-03-01T12:34:56Z", with ".fffffff" before the Z when the time has a fraction of a second.
std::string FormatFileTimeIso(uint64_t fileTime);
