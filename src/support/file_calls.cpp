#include "file_calls.h"

const FileCalls SystemFileCalls = {
    CreateFileA,          CreateFileW,        ReadFile,          WriteFile,
    SetFilePointerEx,     SetEndOfFile,       FlushFileBuffers,  CloseHandle,
    GetFileSizeEx,        SetFileTime,        GetFileAttributesA, GetFileAttributesW,
    GetFileAttributesExA, CreateDirectoryW,   FindFirstFileA,    FindNextFileA,
    FindClose,            GetFileInformationByHandle, SetFileInformationByHandle, GetFinalPathNameByHandleW,
    GetLongPathNameW,     GetShortPathNameW,  GetVolumePathNameW, GetDiskFreeSpaceW,
    GetDiskFreeSpaceExW,  GetDriveTypeA,
};

FileCalls Files = SystemFileCalls;
