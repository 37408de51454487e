// Loads an executable as data, the way a resource viewer would, and reports what the Win32 loader finds:
// the payload UPDATE/102 (size and FNV-1a hash), the two wizard dialogs and the manifest.
// Usage: resource_probe FILE.exe. Exit code 0 when the payload was found, 2 when the file did not load,
// 3 when it holds no payload.
#include <windows.h>

#include <cstdio>

static unsigned long long Fnv1a64(const unsigned char* data, DWORD size)
{
    unsigned long long hash = 1469598103934665603ULL;
    for (DWORD i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Prints one line for a resource: its size and hash, or "missing".
static int Report(HMODULE module, LPCSTR type, LPCSTR name, const char* label)
{
    HRSRC found = FindResourceA(module, name, type);
    if (!found) {
        printf("%s missing\n", label);
        return 0;
    }
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const unsigned char* bytes = loaded ? (const unsigned char*)LockResource(loaded) : NULL;
    if (!bytes && size) {
        printf("%s unreadable\n", label);
        return 0;
    }
    printf("%s size=%lu fnv1a64=%016llx\n", label, (unsigned long)size, Fnv1a64(bytes, size));
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: resource_probe FILE.exe\n");
        return 2;
    }
    HMODULE module = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        printf("load failed error=%lu\n", (unsigned long)GetLastError());
        return 2;
    }
    int payload = Report(module, "UPDATE", MAKEINTRESOURCEA(102), "UPDATE/102");
    Report(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(100), "DIALOG/100");
    Report(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(101), "DIALOG/101");
    Report(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), "MANIFEST/1");
    FreeLibrary(module);
    return payload ? 0 : 3;
}
