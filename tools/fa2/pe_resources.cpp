// Reading PE images: the headers, the resource tree, a resource by type and id (in memory or from a file).
#include "pe_resources.h"

#include <cstring>

#include "byte_sink.h"
#include "pe_layout.h"

namespace {

const size_t MaxResourceLeaves = 65536;
// Reading from a file, the headers and the resource directory are read in pieces of this size, growing to at
// most the limit: a resource directory is a few kilobytes, whatever the data behind it.
const size_t FirstTreeRead = 64u << 10;
const size_t MostTreeRead = 64u << 20;
const size_t MostHeaderRead = 64u << 10;

int IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

int ReadKey(const unsigned char* tree, size_t available, uint32_t raw, PeResourceKey* key, std::string* error)
{
    if (!(raw & 0x80000000u)) {
        if (raw > 0xFFFF)
            return PeFail(error, "resource tree holds an id larger than 16 bits");
        key->isName = 0;
        key->id = (uint16_t)raw;
        key->name.clear();
        return 1;
    }
    uint32_t at = raw & 0x7FFFFFFFu;
    if ((uint64_t)at + 2 > available)
        return PeFail(error, "resource name lies outside the resource section");
    uint32_t units = PeU16(tree + at);
    if ((uint64_t)at + 2 + (uint64_t)units * 2 > available)
        return PeFail(error, "resource name runs past the resource section");
    key->isName = 1;
    key->id = 0;
    key->name.resize(units);
    for (uint32_t i = 0; i < units; ++i)
        key->name[i] = (char16_t)PeU16(tree + at + 2 + i * 2);
    return 1;
}

// The directory table at `at`: its header and entry count, bounds checked.
int ReadDirectory(const unsigned char* tree, size_t available, uint32_t at, const unsigned char** header,
                  uint32_t* count, std::string* error)
{
    if ((uint64_t)at + 16 > available)
        return PeFail(error, "resource directory lies outside the resource section");
    const unsigned char* h = tree + at;
    *count = (uint32_t)PeU16(h + 12) + PeU16(h + 14);
    if ((uint64_t)at + 16 + (uint64_t)*count * 8 > available)
        return PeFail(error, "resource directory entries run past the resource section");
    *header = h;
    return 1;
}

// One language entry of a name directory: the leaf's language, code page and where its bytes lie in the file.
int ReadLeaf(const PeLayout& pe, const unsigned char* tree, size_t available, const unsigned char* entry,
             PeTreeLeaf* leaf, std::string* error)
{
    uint32_t langId = PeU32(entry);
    uint32_t dataRef = PeU32(entry + 4);
    if ((langId & 0x80000000u) || langId > 0xFFFF)
        return PeFail(error, "resource language entry is not a language id");
    if (dataRef & 0x80000000u)
        return PeFail(error, "resource tree is deeper than three levels");
    if ((uint64_t)dataRef + 16 > available)
        return PeFail(error, "resource data entry lies outside the resource section");
    const unsigned char* de = tree + dataRef;
    uint32_t dataRva = PeU32(de);
    uint32_t dataSize = PeU32(de + 4);
    leaf->res.language = (uint16_t)langId;
    leaf->res.codePage = PeU32(de + 8);
    leaf->res.size = dataSize;
    leaf->res.offset = 0;
    if (dataSize != 0 && !PeRvaToOffset(pe, dataRva, dataSize, &leaf->res.offset))
        return PeFail(error, "resource data lies outside the file");
    return 1;
}

int FindInLeaves(const std::vector<PeTreeLeaf>& leaves, const char* typeName, uint16_t id, uint64_t* offset,
                 uint64_t* length, std::string* error)
{
    const PeResource* found = nullptr;
    for (const PeTreeLeaf& leaf : leaves) {
        const PeResource& r = leaf.res;
        if (!PeKeyMatchesName(r.type, typeName) || r.name.isName || r.name.id != id)
            continue;
        if (!found || (r.language == 1041 && found->language != 1041))
            found = &r;
    }
    if (!found)
        return PeFail(error, std::string("the executable holds no ") + typeName + "/" + std::to_string(id) +
                                 " resource");
    *offset = found->offset;
    *length = found->size;
    return 1;
}

int ReadFileBytes(FILE* file, uint64_t offset, size_t count, std::vector<unsigned char>* bytes)
{
    bytes->resize(count);
    return SeekFile(file, offset) && fread(bytes->data(), 1, count, file) == count;
}

}  // namespace

uint16_t PeU16(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t PeU32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
void PePutU16(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
void PePutU32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}
uint64_t PeAlignUp(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

int PeFail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return 0;
}

uint64_t PeSectionExtent(const PeSection& s) { return s.virtualSize ? s.virtualSize : s.rawSize; }

int ParsePeLayout(const unsigned char* image, size_t headerBytes, uint64_t size, PeLayout* pe, std::string* error)
{
    if (headerBytes < 64 || image[0] != 'M' || image[1] != 'Z')
        return PeFail(error, "not a Windows executable (no MZ header)");
    uint32_t peOffset = PeU32(image + 0x3C);
    if ((uint64_t)peOffset + 24 > headerBytes || memcmp(image + peOffset, "PE\0\0", 4) != 0)
        return PeFail(error, "not a PE image (no PE signature where the DOS header points)");
    pe->peOffset = peOffset;
    const unsigned char* fileHeader = image + peOffset + 4;
    int sectionCount = PeU16(fileHeader + 2);
    pe->optionalSize = PeU16(fileHeader + 16);
    pe->optionalOffset = peOffset + 24;
    if (pe->optionalOffset + pe->optionalSize > headerBytes)
        return PeFail(error, "PE optional header runs past the end of the file");
    if (pe->optionalSize < 2)
        return PeFail(error, "PE optional header is missing");
    const unsigned char* opt = image + pe->optionalOffset;
    uint16_t magic = PeU16(opt);
    if (magic == 0x10B)
        pe->isPe32Plus = 0;
    else if (magic == 0x20B)
        pe->isPe32Plus = 1;
    else
        return PeFail(error, "unknown PE optional header kind");
    size_t countField = pe->isPe32Plus ? 108 : 92;
    pe->dirOffset = pe->optionalOffset + (pe->isPe32Plus ? 112 : 96);
    if (pe->optionalSize < countField + 4)
        return PeFail(error, "PE optional header is too short");
    pe->sectionAlignment = PeU32(opt + 32);
    pe->fileAlignment = PeU32(opt + 36);
    pe->sizeOfHeaders = PeU32(opt + 60);
    pe->dirCount = PeU32(opt + countField);
    if (pe->dirCount > 16 || pe->dirOffset + (size_t)pe->dirCount * 8 > pe->optionalOffset + pe->optionalSize)
        return PeFail(error, "PE data directory count does not fit the optional header");
    if (!IsPowerOfTwo(pe->fileAlignment) || !IsPowerOfTwo(pe->sectionAlignment) ||
        pe->sectionAlignment < pe->fileAlignment)
        return PeFail(error, "PE section or file alignment is not valid");
    if (sectionCount < 1 || sectionCount > PeMaxSections)
        return PeFail(error, "PE section count is not valid");
    pe->sectionTable = pe->optionalOffset + pe->optionalSize;
    pe->sectionCount = sectionCount;
    uint64_t tableEnd = pe->sectionTable + (uint64_t)sectionCount * 40;
    if (tableEnd > size || tableEnd > pe->sizeOfHeaders)
        return PeFail(error, "PE section table runs past the headers");
    if (pe->sizeOfHeaders > size)
        return PeFail(error, "PE headers are longer than the file");
    if (tableEnd > headerBytes)
        return PeFail(error, "PE headers are longer than fa2 reads (64 KiB)");
    for (int i = 0; i < sectionCount; ++i) {
        const unsigned char* h = image + pe->sectionTable + (size_t)i * 40;
        PeSection& s = pe->sections[i];
        memcpy(s.name, h, 8);
        s.name[8] = '\0';
        s.virtualSize = PeU32(h + 8);
        s.virtualAddress = PeU32(h + 12);
        s.rawSize = PeU32(h + 16);
        s.rawPointer = PeU32(h + 20);
        s.characteristics = PeU32(h + 36);
        s.headerOffset = pe->sectionTable + (size_t)i * 40;
        if (s.rawSize != 0 && (uint64_t)s.rawPointer + s.rawSize > size)
            return PeFail(error, std::string("PE section ") + s.name + " runs past the end of the file");
        if (s.virtualAddress + PeSectionExtent(s) > 0xFFFFFFFFull)
            return PeFail(error, std::string("PE section ") + s.name + " lies beyond 4 GiB");
    }
    return 1;
}

void GetPeDirectory(const unsigned char* headers, const PeLayout& pe, int index, uint32_t* rva, uint32_t* length)
{
    *rva = 0;
    *length = 0;
    if ((uint32_t)index >= pe.dirCount)
        return;
    *rva = PeU32(headers + pe.dirOffset + (size_t)index * 8);
    *length = PeU32(headers + pe.dirOffset + (size_t)index * 8 + 4);
}

int PeSectionOfRva(const PeLayout& pe, uint32_t rva)
{
    for (int i = 0; i < pe.sectionCount; ++i) {
        const PeSection& s = pe.sections[i];
        if (rva >= s.virtualAddress && (uint64_t)rva < s.virtualAddress + PeSectionExtent(s))
            return i;
    }
    return -1;
}

int PeRvaToOffset(const PeLayout& pe, uint32_t rva, uint64_t length, size_t* offset)
{
    int i = PeSectionOfRva(pe, rva);
    if (i < 0)
        return 0;
    const PeSection& s = pe.sections[i];
    uint64_t inSection = rva - s.virtualAddress;
    if (inSection + length > s.rawSize)
        return 0;
    *offset = (size_t)(s.rawPointer + inSection);
    return 1;
}

int LocatePeTree(const unsigned char* headers, const PeLayout& pe, uint64_t* offset, uint64_t* available,
                 std::string* error)
{
    uint32_t rootRva, length;
    GetPeDirectory(headers, pe, PeDirResource, &rootRva, &length);
    *offset = 0;
    *available = 0;
    if (rootRva == 0)
        return 1;
    int s = PeSectionOfRva(pe, rootRva);
    if (s < 0)
        return PeFail(error, "resource directory lies outside every section");
    const PeSection& sec = pe.sections[s];
    uint64_t inSection = rootRva - sec.virtualAddress;
    if (inSection >= sec.rawSize)
        return PeFail(error, "resource directory is not stored in the file");
    *offset = sec.rawPointer + inSection;
    *available = sec.rawSize - inSection;
    return 1;
}

int ReadPeTree(const PeLayout& pe, const unsigned char* tree, size_t available, unsigned char rootHeader[12],
               std::vector<PeTreeLeaf>* leaves, std::string* error)
{
    const unsigned char* root;
    uint32_t typeCount;
    if (!ReadDirectory(tree, available, 0, &root, &typeCount, error))
        return 0;
    memcpy(rootHeader, root, 12);
    for (uint32_t t = 0; t < typeCount; ++t) {
        const unsigned char* te = root + 16 + t * 8;
        PeTreeLeaf leaf;
        leaf.change = -1;
        if (!ReadKey(tree, available, PeU32(te), &leaf.res.type, error))
            return 0;
        uint32_t typeDirRef = PeU32(te + 4);
        if (!(typeDirRef & 0x80000000u))
            return PeFail(error, "resource type entry does not lead to a directory");
        const unsigned char* typeDir;
        uint32_t nameCount;
        if (!ReadDirectory(tree, available, typeDirRef & 0x7FFFFFFFu, &typeDir, &nameCount, error))
            return 0;
        memcpy(leaf.typeHeader, typeDir, 12);
        for (uint32_t n = 0; n < nameCount; ++n) {
            const unsigned char* ne = typeDir + 16 + n * 8;
            if (!ReadKey(tree, available, PeU32(ne), &leaf.res.name, error))
                return 0;
            uint32_t nameDirRef = PeU32(ne + 4);
            if (!(nameDirRef & 0x80000000u))
                return PeFail(error, "resource name entry does not lead to a directory");
            const unsigned char* nameDir;
            uint32_t langCount;
            if (!ReadDirectory(tree, available, nameDirRef & 0x7FFFFFFFu, &nameDir, &langCount, error))
                return 0;
            memcpy(leaf.nameHeader, nameDir, 12);
            for (uint32_t l = 0; l < langCount; ++l) {
                if (!ReadLeaf(pe, tree, available, nameDir + 16 + l * 8, &leaf, error))
                    return 0;
                if (leaves->size() >= MaxResourceLeaves)
                    return PeFail(error, "resource tree has too many entries");
                leaves->push_back(leaf);
            }
        }
    }
    return 1;
}

int LoadPeLeaves(const unsigned char* image, size_t size, const PeLayout& pe, unsigned char rootHeader[12],
                 std::vector<PeTreeLeaf>* leaves, std::string* error)
{
    (void)size;  // ParsePeLayout has checked every section against it
    uint64_t offset, available;
    memset(rootHeader, 0, 12);
    if (!LocatePeTree(image, pe, &offset, &available, error))
        return 0;
    if (available == 0)
        return 1;
    return ReadPeTree(pe, image + offset, (size_t)available, rootHeader, leaves, error);
}

int PeAsciiUpper(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

int PeKeyMatchesName(const PeResourceKey& key, const char* name)
{
    if (!key.isName || key.name.size() != strlen(name))
        return 0;
    for (size_t i = 0; i < key.name.size(); ++i)
        if (key.name[i] > 0x7F || PeAsciiUpper(key.name[i]) != PeAsciiUpper((unsigned char)name[i]))
            return 0;
    return 1;
}

int ComparePeKeys(const PeResourceKey& a, const PeResourceKey& b)
{
    if (a.isName != b.isName)
        return a.isName ? -1 : 1;
    if (a.isName)
        return a.name < b.name ? -1 : (b.name < a.name ? 1 : 0);
    return a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
}

int LooksLikePeImage(const unsigned char* image, size_t size)
{
    if (size < 64 || image[0] != 'M' || image[1] != 'Z')
        return 0;
    uint32_t peOffset = PeU32(image + 0x3C);
    return (uint64_t)peOffset + 4 <= size && memcmp(image + peOffset, "PE\0\0", 4) == 0;
}

size_t PeChecksumOffset(const unsigned char* image, size_t size)
{
    PeLayout pe;
    std::string ignored;
    if (!ParsePeLayout(image, size, size, &pe, &ignored))
        return 0;
    return pe.optionalOffset + 64;
}

uint32_t ComputePeChecksum(const unsigned char* image, size_t size, size_t checksumOffset)
{
    PeChecksum sum;
    StartPeChecksum(&sum);
    if (checksumOffset + 4 <= size) {
        static const unsigned char zeros[4] = {0};
        AddPeChecksum(&sum, image, checksumOffset);
        AddPeChecksum(&sum, zeros, 4);
        AddPeChecksum(&sum, image + checksumOffset + 4, size - checksumOffset - 4);
    } else {
        AddPeChecksum(&sum, image, size);
    }
    return FinishPeChecksum(&sum);
}

void StartPeChecksum(PeChecksum* sum)
{
    sum->sum = 0;
    sum->length = 0;
    sum->pending = -1;
}

void AddPeChecksum(PeChecksum* sum, const unsigned char* bytes, size_t count)
{
    size_t i = 0;
    if (sum->pending >= 0 && count > 0) {
        sum->sum += (uint32_t)sum->pending | ((uint32_t)bytes[0] << 8);
        sum->sum = (sum->sum & 0xFFFF) + (sum->sum >> 16);
        sum->pending = -1;
        i = 1;
    }
    for (; i + 1 < count; i += 2) {
        sum->sum += PeU16(bytes + i);
        sum->sum = (sum->sum & 0xFFFF) + (sum->sum >> 16);
    }
    if (i < count)
        sum->pending = bytes[i];
    sum->length += count;
}

uint32_t FinishPeChecksum(const PeChecksum* sum)
{
    uint64_t s = sum->sum;
    if (sum->pending >= 0) {
        s += (uint32_t)sum->pending;
        s = (s & 0xFFFF) + (s >> 16);
    }
    s = (s & 0xFFFF) + (s >> 16);
    return (uint32_t)(s + sum->length);
}

int ListPeResources(const unsigned char* image, size_t size, std::vector<PeResource>* out, std::string* error)
{
    PeLayout pe;
    if (!ParsePeLayout(image, size, size, &pe, error))
        return 0;
    std::vector<PeTreeLeaf> leaves;
    unsigned char rootHeader[12];
    if (!LoadPeLeaves(image, size, pe, rootHeader, &leaves, error))
        return 0;
    out->clear();
    for (const PeTreeLeaf& leaf : leaves)
        out->push_back(leaf.res);
    return 1;
}

int FindPeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, size_t* offset,
                   size_t* length, std::string* error)
{
    PeLayout pe;
    if (!ParsePeLayout(image, size, size, &pe, error))
        return 0;
    std::vector<PeTreeLeaf> leaves;
    unsigned char rootHeader[12];
    uint64_t at, bytes;
    if (!LoadPeLeaves(image, size, pe, rootHeader, &leaves, error) ||
        !FindInLeaves(leaves, typeName, id, &at, &bytes, error))
        return 0;
    *offset = (size_t)at;
    *length = (size_t)bytes;
    return 1;
}

int FindPeResourceInFile(FILE* file, uint64_t fileSize, const char* typeName, uint16_t id, uint64_t* offset,
                         uint64_t* length, std::string* error)
{
    std::vector<unsigned char> headers;
    size_t headerBytes = (size_t)(fileSize < MostHeaderRead ? fileSize : MostHeaderRead);
    if (!ReadFileBytes(file, 0, headerBytes, &headers))
        return PeFail(error, "read error");
    PeLayout pe;
    uint64_t treeAt, available;
    if (!ParsePeLayout(headers.data(), headers.size(), fileSize, &pe, error) ||
        !LocatePeTree(headers.data(), pe, &treeAt, &available, error))
        return 0;
    if (available == 0)
        return PeFail(error, std::string("the executable holds no ") + typeName + "/" + std::to_string(id) +
                                 " resource");
    // The directory comes first in its section and is small: read a piece, and more only when it runs past it.
    std::vector<unsigned char> tree;
    for (size_t want = FirstTreeRead;; want *= 2) {
        size_t count = (size_t)(available < want ? available : want);
        if (!ReadFileBytes(file, treeAt, count, &tree))
            return PeFail(error, "read error");
        std::vector<PeTreeLeaf> leaves;
        unsigned char rootHeader[12];
        if (ReadPeTree(pe, tree.data(), tree.size(), rootHeader, &leaves, error))
            return FindInLeaves(leaves, typeName, id, offset, length, error);
        if (count == available || count >= MostTreeRead)
            return 0;
    }
}
