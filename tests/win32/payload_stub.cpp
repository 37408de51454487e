// A tiny console program that reads its own payload resource UPDATE/102 the way the updater does and prints
// its size and FNV-1a hash: proof that an image rewritten by fa2 still starts and finds its payload.
#include <windows.h>

#include <cstdio>

int main()
{
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(102), "UPDATE");
    if (!found) {
        printf("payload missing\n");
        return 3;
    }
    DWORD size = SizeofResource(NULL, found);
    HGLOBAL loaded = LoadResource(NULL, found);
    const unsigned char* bytes = loaded ? (const unsigned char*)LockResource(loaded) : NULL;
    if (!bytes && size) {
        printf("payload unreadable\n");
        return 4;
    }
    unsigned long long hash = 1469598103934665603ULL;
    for (DWORD i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ULL;
    }
    printf("payload size=%lu fnv1a64=%016llx\n", (unsigned long)size, hash);
    return 0;
}
