#pragma once
// Every file-system call the update job makes goes through this one table: the job writes, moves and deletes
// elevated in folders other users may change, and its tests put an in-memory file system with links, owners,
// share modes and injected failures in place of the real one. It points at the real calls until a test replaces it.
#include <windows.h>

struct FileCalls {
    HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* SetFilePointerEx)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);
    BOOL(WINAPI* SetEndOfFile)(HANDLE);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE);
    BOOL(WINAPI* CloseHandle)(HANDLE);  // files only; threads and events close as usual
    BOOL(WINAPI* GetFileSizeEx)(HANDLE, PLARGE_INTEGER);
    BOOL(WINAPI* SetFileTime)(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*);
    DWORD(WINAPI* GetFileAttributesA)(LPCSTR);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR);
    BOOL(WINAPI* GetFileAttributesExA)(LPCSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
    BOOL(WINAPI* CreateDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES);
    HANDLE(WINAPI* FindFirstFileA)(LPCSTR, LPWIN32_FIND_DATAA);
    BOOL(WINAPI* FindNextFileA)(HANDLE, LPWIN32_FIND_DATAA);
    BOOL(WINAPI* FindClose)(HANDLE);
    BOOL(WINAPI* GetFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    DWORD(WINAPI* GetFinalPathNameByHandleW)(HANDLE, LPWSTR, DWORD, DWORD);
    DWORD(WINAPI* GetLongPathNameW)(LPCWSTR, LPWSTR, DWORD);
    DWORD(WINAPI* GetShortPathNameW)(LPCWSTR, LPWSTR, DWORD);
    BOOL(WINAPI* GetVolumePathNameW)(LPCWSTR, LPWSTR, DWORD);
    BOOL(WINAPI* GetDiskFreeSpaceW)(LPCWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);
    BOOL(WINAPI* GetDiskFreeSpaceExW)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    UINT(WINAPI* GetDriveTypeA)(LPCSTR);
};

extern FileCalls Files;
// The real calls, for a test to restore.
extern const FileCalls SystemFileCalls;
