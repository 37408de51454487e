#include "pe_resources.h"

#include <algorithm>
#include <cstring>

namespace {

const int MaxSections = 96;           // the loader's own limit
const size_t MaxResourceLeaves = 65536;
const uint32_t ScnInitializedData = 0x00000040;
const uint32_t ScnDiscardable = 0x02000000;
const uint32_t ScnMemRead = 0x40000000;
const int DirSecurity = 4;            // the one data directory that holds a file offset, not an RVA
const int DirResource = 2;
const int DirDebug = 6;

uint16_t GetU16(const unsigned char* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t GetU32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
void PutU16(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
void PutU32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

uint64_t AlignUp(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }
int IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

int Fail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return 0;
}

struct PeSection {
    char name[9];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawPointer;
    uint32_t characteristics;
    size_t headerOffset;
};

struct PeLayout {
    size_t peOffset;
    size_t optionalOffset;
    size_t optionalSize;
    int isPe32Plus;
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint32_t sizeOfHeaders;
    size_t dirOffset;
    uint32_t dirCount;
    size_t sectionTable;
    int sectionCount;
    PeSection sections[MaxSections];
};

// Memory extent of a section: linkers may leave VirtualSize 0 and mean the raw size.
uint64_t SectionExtent(const PeSection& s) { return s.virtualSize ? s.virtualSize : s.rawSize; }

int ParseLayout(const unsigned char* image, size_t size, PeLayout* pe, std::string* error)
{
    if (size < 64 || image[0] != 'M' || image[1] != 'Z')
        return Fail(error, "not a Windows executable (no MZ header)");
    uint32_t peOffset = GetU32(image + 0x3C);
    if ((uint64_t)peOffset + 24 > size || memcmp(image + peOffset, "PE\0\0", 4) != 0)
        return Fail(error, "not a PE image (no PE signature where the DOS header points)");
    pe->peOffset = peOffset;
    const unsigned char* fileHeader = image + peOffset + 4;
    int sectionCount = GetU16(fileHeader + 2);
    pe->optionalSize = GetU16(fileHeader + 16);
    pe->optionalOffset = peOffset + 24;
    if (pe->optionalOffset + pe->optionalSize > size)
        return Fail(error, "PE optional header runs past the end of the file");
    if (pe->optionalSize < 2)
        return Fail(error, "PE optional header is missing");
    const unsigned char* opt = image + pe->optionalOffset;
    uint16_t magic = GetU16(opt);
    if (magic == 0x10B)
        pe->isPe32Plus = 0;
    else if (magic == 0x20B)
        pe->isPe32Plus = 1;
    else
        return Fail(error, "unknown PE optional header kind");
    size_t countField = pe->isPe32Plus ? 108 : 92;
    pe->dirOffset = pe->optionalOffset + (pe->isPe32Plus ? 112 : 96);
    if (pe->optionalSize < countField + 4)
        return Fail(error, "PE optional header is too short");
    pe->sectionAlignment = GetU32(opt + 32);
    pe->fileAlignment = GetU32(opt + 36);
    pe->sizeOfHeaders = GetU32(opt + 60);
    pe->dirCount = GetU32(opt + countField);
    if (pe->dirCount > 16 || pe->dirOffset + (size_t)pe->dirCount * 8 > pe->optionalOffset + pe->optionalSize)
        return Fail(error, "PE data directory count does not fit the optional header");
    if (!IsPowerOfTwo(pe->fileAlignment) || !IsPowerOfTwo(pe->sectionAlignment) ||
        pe->sectionAlignment < pe->fileAlignment)
        return Fail(error, "PE section or file alignment is not valid");
    if (sectionCount < 1 || sectionCount > MaxSections)
        return Fail(error, "PE section count is not valid");
    pe->sectionTable = pe->optionalOffset + pe->optionalSize;
    pe->sectionCount = sectionCount;
    if (pe->sectionTable + (size_t)sectionCount * 40 > size || pe->sectionTable + (size_t)sectionCount * 40 > pe->sizeOfHeaders)
        return Fail(error, "PE section table runs past the headers");
    if (pe->sizeOfHeaders > size)
        return Fail(error, "PE headers are longer than the file");
    for (int i = 0; i < sectionCount; ++i) {
        const unsigned char* h = image + pe->sectionTable + (size_t)i * 40;
        PeSection& s = pe->sections[i];
        memcpy(s.name, h, 8);
        s.name[8] = '\0';
        s.virtualSize = GetU32(h + 8);
        s.virtualAddress = GetU32(h + 12);
        s.rawSize = GetU32(h + 16);
        s.rawPointer = GetU32(h + 20);
        s.characteristics = GetU32(h + 36);
        s.headerOffset = pe->sectionTable + (size_t)i * 40;
        if (s.rawSize != 0 && (uint64_t)s.rawPointer + s.rawSize > size)
            return Fail(error, std::string("PE section ") + s.name + " runs past the end of the file");
        if (s.virtualAddress + SectionExtent(s) > 0xFFFFFFFFull)
            return Fail(error, std::string("PE section ") + s.name + " lies beyond 4 GiB");
    }
    return 1;
}

// Data directory `index`: RVA and size, or 0 and 0 when the image has fewer directories.
void GetDirectory(const unsigned char* image, const PeLayout& pe, int index, uint32_t* rva, uint32_t* length)
{
    *rva = 0;
    *length = 0;
    if ((uint32_t)index >= pe.dirCount)
        return;
    *rva = GetU32(image + pe.dirOffset + (size_t)index * 8);
    *length = GetU32(image + pe.dirOffset + (size_t)index * 8 + 4);
}

// Index of the section whose memory holds `rva`, or -1.
int SectionOfRva(const PeLayout& pe, uint32_t rva)
{
    for (int i = 0; i < pe.sectionCount; ++i) {
        const PeSection& s = pe.sections[i];
        if (rva >= s.virtualAddress && (uint64_t)rva < s.virtualAddress + SectionExtent(s))
            return i;
    }
    return -1;
}

// File offset of `length` bytes at `rva`; they must all be stored in the file.
int RvaToOffset(const PeLayout& pe, uint32_t rva, uint64_t length, size_t* offset)
{
    int i = SectionOfRva(pe, rva);
    if (i < 0)
        return 0;
    const PeSection& s = pe.sections[i];
    uint64_t inSection = rva - s.virtualAddress;
    if (inSection + length > s.rawSize)
        return 0;
    *offset = (size_t)(s.rawPointer + inSection);
    return 1;
}

// The resource tree: every offset in it counts from the start of the resource directory.
struct TreeView {
    const unsigned char* base;
    size_t available;
};

// Copies of the headers (characteristics, time stamp, version) of a leaf's parent directories, so that a rebuilt
// tree keeps them.
struct TreeLeaf {
    PeResource res;
    unsigned char typeHeader[12];
    unsigned char nameHeader[12];
    int isPayload;
};

int ReadKey(const TreeView& tree, uint32_t raw, PeResourceKey* key, std::string* error)
{
    if (!(raw & 0x80000000u)) {
        if (raw > 0xFFFF)
            return Fail(error, "resource tree holds an id larger than 16 bits");
        key->isName = 0;
        key->id = (uint16_t)raw;
        key->name.clear();
        return 1;
    }
    uint32_t at = raw & 0x7FFFFFFFu;
    if ((uint64_t)at + 2 > tree.available)
        return Fail(error, "resource name lies outside the resource section");
    uint32_t units = GetU16(tree.base + at);
    if ((uint64_t)at + 2 + (uint64_t)units * 2 > tree.available)
        return Fail(error, "resource name runs past the resource section");
    key->isName = 1;
    key->id = 0;
    key->name.resize(units);
    for (uint32_t i = 0; i < units; ++i)
        key->name[i] = (char16_t)GetU16(tree.base + at + 2 + i * 2);
    return 1;
}

// The directory table at `at`: its header and entry count, bounds checked.
int ReadDirectory(const TreeView& tree, uint32_t at, const unsigned char** header, uint32_t* count,
                  std::string* error)
{
    if ((uint64_t)at + 16 > tree.available)
        return Fail(error, "resource directory lies outside the resource section");
    const unsigned char* h = tree.base + at;
    *count = (uint32_t)GetU16(h + 12) + GetU16(h + 14);
    if ((uint64_t)at + 16 + (uint64_t)*count * 8 > tree.available)
        return Fail(error, "resource directory entries run past the resource section");
    *header = h;
    return 1;
}

int ReadTree(const unsigned char* image, size_t size, const PeLayout& pe, uint32_t rootRva,
             unsigned char rootHeader[12], std::vector<TreeLeaf>* leaves, std::string* error)
{
    (void)size;
    int s = SectionOfRva(pe, rootRva);
    if (s < 0)
        return Fail(error, "resource directory lies outside every section");
    const PeSection& sec = pe.sections[s];
    uint64_t inSection = rootRva - sec.virtualAddress;
    if (inSection >= sec.rawSize)
        return Fail(error, "resource directory is not stored in the file");
    TreeView tree{image + sec.rawPointer + inSection, (size_t)(sec.rawSize - inSection)};

    const unsigned char* root;
    uint32_t typeCount;
    if (!ReadDirectory(tree, 0, &root, &typeCount, error))
        return 0;
    memcpy(rootHeader, root, 12);
    for (uint32_t t = 0; t < typeCount; ++t) {
        const unsigned char* te = root + 16 + t * 8;
        TreeLeaf leaf;
        leaf.isPayload = 0;
        if (!ReadKey(tree, GetU32(te), &leaf.res.type, error))
            return 0;
        uint32_t typeDirRef = GetU32(te + 4);
        if (!(typeDirRef & 0x80000000u))
            return Fail(error, "resource type entry does not lead to a directory");
        const unsigned char* typeDir;
        uint32_t nameCount;
        if (!ReadDirectory(tree, typeDirRef & 0x7FFFFFFFu, &typeDir, &nameCount, error))
            return 0;
        memcpy(leaf.typeHeader, typeDir, 12);
        for (uint32_t n = 0; n < nameCount; ++n) {
            const unsigned char* ne = typeDir + 16 + n * 8;
            if (!ReadKey(tree, GetU32(ne), &leaf.res.name, error))
                return 0;
            uint32_t nameDirRef = GetU32(ne + 4);
            if (!(nameDirRef & 0x80000000u))
                return Fail(error, "resource name entry does not lead to a directory");
            const unsigned char* nameDir;
            uint32_t langCount;
            if (!ReadDirectory(tree, nameDirRef & 0x7FFFFFFFu, &nameDir, &langCount, error))
                return 0;
            memcpy(leaf.nameHeader, nameDir, 12);
            for (uint32_t l = 0; l < langCount; ++l) {
                const unsigned char* le = nameDir + 16 + l * 8;
                uint32_t langId = GetU32(le);
                uint32_t dataRef = GetU32(le + 4);
                if ((langId & 0x80000000u) || langId > 0xFFFF)
                    return Fail(error, "resource language entry is not a language id");
                if (dataRef & 0x80000000u)
                    return Fail(error, "resource tree is deeper than three levels");
                if ((uint64_t)dataRef + 16 > tree.available)
                    return Fail(error, "resource data entry lies outside the resource section");
                const unsigned char* de = tree.base + dataRef;
                uint32_t dataRva = GetU32(de);
                uint32_t dataSize = GetU32(de + 4);
                leaf.res.language = (uint16_t)langId;
                leaf.res.codePage = GetU32(de + 8);
                leaf.res.size = dataSize;
                leaf.res.offset = 0;
                if (dataSize != 0 && !RvaToOffset(pe, dataRva, dataSize, &leaf.res.offset))
                    return Fail(error, "resource data lies outside the file");
                if (leaves->size() >= MaxResourceLeaves)
                    return Fail(error, "resource tree has too many entries");
                leaves->push_back(leaf);
            }
        }
    }
    return 1;
}

// Loads the tree of an image whose layout is parsed; no resource directory gives an empty list.
int LoadLeaves(const unsigned char* image, size_t size, const PeLayout& pe, unsigned char rootHeader[12],
               std::vector<TreeLeaf>* leaves, std::string* error)
{
    uint32_t rva, length;
    GetDirectory(image, pe, DirResource, &rva, &length);
    memset(rootHeader, 0, 12);
    if (rva == 0)
        return 1;
    return ReadTree(image, size, pe, rva, rootHeader, leaves, error);
}

int AsciiUpper(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

int KeyMatchesName(const PeResourceKey& key, const char* name)
{
    if (!key.isName || key.name.size() != strlen(name))
        return 0;
    for (size_t i = 0; i < key.name.size(); ++i)
        if (key.name[i] > 0x7F || AsciiUpper(key.name[i]) != AsciiUpper((unsigned char)name[i]))
            return 0;
    return 1;
}

// Directory order the loader's binary search relies on: names (by code unit) before ids (ascending).
int CompareKeys(const PeResourceKey& a, const PeResourceKey& b)
{
    if (a.isName != b.isName)
        return a.isName ? -1 : 1;
    if (a.isName)
        return a.name < b.name ? -1 : (b.name < a.name ? 1 : 0);
    return a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
}

int KeysEqual(const PeResourceKey& a, const PeResourceKey& b) { return CompareKeys(a, b) == 0; }

struct Blob {
    const unsigned char* data;
    size_t size;
};

// Serialises the tree of `leaves` (already in directory order) as the contents of a section at `sectionRva`.
// Layout: every directory table, the data entries, the names, then each resource's bytes on an 8-byte boundary.
int BuildTree(const std::vector<TreeLeaf>& leaves, const std::vector<Blob>& data, const unsigned char rootHeader[12],
              uint32_t sectionRva, std::vector<unsigned char>* out, uint32_t* directorySize, std::string* error)
{
    // Group boundaries: type groups and (type, name) groups over the ordered leaves.
    std::vector<size_t> typeStarts, nameStarts;
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (i == 0 || !KeysEqual(leaves[i].res.type, leaves[i - 1].res.type)) {
            typeStarts.push_back(i);
            nameStarts.push_back(i);
        } else if (!KeysEqual(leaves[i].res.name, leaves[i - 1].res.name)) {
            nameStarts.push_back(i);
        }
    }
    size_t typeCount = typeStarts.size(), nameCount = nameStarts.size(), leafCount = leaves.size();

    uint64_t at = 16 + 8 * (uint64_t)typeCount;
    std::vector<uint64_t> typeDirAt(typeCount), nameDirAt(nameCount), dataEntryAt(leafCount);
    size_t ni = 0;
    for (size_t t = 0; t < typeCount; ++t) {
        size_t end = t + 1 < typeCount ? typeStarts[t + 1] : leafCount;
        size_t names = 0;
        for (size_t k = ni; k < nameCount && nameStarts[k] < end; ++k)
            ++names;
        typeDirAt[t] = at;
        at += 16 + 8 * (uint64_t)names;
        ni += names;
    }
    for (size_t n = 0; n < nameCount; ++n) {
        size_t end = n + 1 < nameCount ? nameStarts[n + 1] : leafCount;
        nameDirAt[n] = at;
        at += 16 + 8 * (uint64_t)(end - nameStarts[n]);
    }
    for (size_t i = 0; i < leafCount; ++i) {
        dataEntryAt[i] = at;
        at += 16;
    }
    // Names, each once per directory entry that needs it (type names once per type, names once per group).
    std::vector<uint64_t> typeNameAt(typeCount, 0), nameNameAt(nameCount, 0);
    for (size_t t = 0; t < typeCount; ++t)
        if (leaves[typeStarts[t]].res.type.isName) {
            typeNameAt[t] = at;
            at += 2 + 2 * (uint64_t)leaves[typeStarts[t]].res.type.name.size();
        }
    for (size_t n = 0; n < nameCount; ++n)
        if (leaves[nameStarts[n]].res.name.isName) {
            nameNameAt[n] = at;
            at += 2 + 2 * (uint64_t)leaves[nameStarts[n]].res.name.name.size();
        }
    std::vector<uint64_t> dataAt(leafCount);
    for (size_t i = 0; i < leafCount; ++i) {
        at = AlignUp(at, 8);
        dataAt[i] = at;
        at += data[i].size;
    }
    if (at + sectionRva > 0xFFFFFFFFull || at > 0x7FFFFFFFull)
        return Fail(error, "resources would be larger than a PE image can hold");

    out->assign((size_t)at, 0);
    unsigned char* b = out->data();
    auto putEntries = [&](unsigned char* dir, const unsigned char header[12], size_t named, size_t ids) {
        memcpy(dir, header, 12);
        PutU16(dir + 12, (uint32_t)named);
        PutU16(dir + 14, (uint32_t)ids);
    };
    auto keyField = [](const PeResourceKey& key, uint64_t nameAt) -> uint32_t {
        return key.isName ? (uint32_t)(0x80000000u | nameAt) : key.id;
    };

    size_t namedTypes = 0;
    for (size_t t = 0; t < typeCount; ++t)
        namedTypes += leaves[typeStarts[t]].res.type.isName ? 1 : 0;
    putEntries(b, rootHeader, namedTypes, typeCount - namedTypes);
    ni = 0;
    for (size_t t = 0; t < typeCount; ++t) {
        const TreeLeaf& first = leaves[typeStarts[t]];
        PutU32(b + 16 + t * 8, keyField(first.res.type, typeNameAt[t]));
        PutU32(b + 16 + t * 8 + 4, (uint32_t)(0x80000000u | typeDirAt[t]));
        if (first.res.type.isName) {
            unsigned char* s = b + typeNameAt[t];
            PutU16(s, (uint32_t)first.res.type.name.size());
            for (size_t k = 0; k < first.res.type.name.size(); ++k)
                PutU16(s + 2 + 2 * k, first.res.type.name[k]);
        }
        size_t end = t + 1 < typeCount ? typeStarts[t + 1] : leafCount;
        size_t firstName = ni, named = 0, total = 0;
        for (; ni < nameCount && nameStarts[ni] < end; ++ni) {
            ++total;
            named += leaves[nameStarts[ni]].res.name.isName ? 1 : 0;
        }
        unsigned char* typeDir = b + typeDirAt[t];
        putEntries(typeDir, first.typeHeader, named, total - named);
        for (size_t k = 0; k < total; ++k) {
            size_t n = firstName + k;
            const TreeLeaf& nameLeaf = leaves[nameStarts[n]];
            PutU32(typeDir + 16 + k * 8, keyField(nameLeaf.res.name, nameNameAt[n]));
            PutU32(typeDir + 16 + k * 8 + 4, (uint32_t)(0x80000000u | nameDirAt[n]));
            if (nameLeaf.res.name.isName) {
                unsigned char* s = b + nameNameAt[n];
                PutU16(s, (uint32_t)nameLeaf.res.name.name.size());
                for (size_t c = 0; c < nameLeaf.res.name.name.size(); ++c)
                    PutU16(s + 2 + 2 * c, nameLeaf.res.name.name[c]);
            }
            size_t leafEnd = n + 1 < nameCount ? nameStarts[n + 1] : leafCount;
            unsigned char* nameDir = b + nameDirAt[n];
            putEntries(nameDir, nameLeaf.nameHeader, 0, leafEnd - nameStarts[n]);
            for (size_t i = nameStarts[n]; i < leafEnd; ++i) {
                unsigned char* le = nameDir + 16 + (i - nameStarts[n]) * 8;
                PutU32(le, leaves[i].res.language);
                PutU32(le + 4, (uint32_t)dataEntryAt[i]);
                unsigned char* de = b + dataEntryAt[i];
                PutU32(de, (uint32_t)(sectionRva + dataAt[i]));
                PutU32(de + 4, (uint32_t)data[i].size);
                PutU32(de + 8, leaves[i].res.codePage);
                if (data[i].size)
                    memcpy(b + dataAt[i], data[i].data, data[i].size);
            }
        }
    }
    *directorySize = (uint32_t)at;
    return 1;
}

// Where a section of the rewritten image comes from: the input's raw bytes, or the new resource bytes.
struct OutSection {
    int source;             // index into the input's sections, or -1 for the new resource bytes
    PeSection header;       // the header as written
};

}  // namespace

int LooksLikePeImage(const unsigned char* image, size_t size)
{
    if (size < 64 || image[0] != 'M' || image[1] != 'Z')
        return 0;
    uint32_t peOffset = GetU32(image + 0x3C);
    return (uint64_t)peOffset + 4 <= size && memcmp(image + peOffset, "PE\0\0", 4) == 0;
}

size_t PeChecksumOffset(const unsigned char* image, size_t size)
{
    PeLayout pe;
    std::string ignored;
    if (!ParseLayout(image, size, &pe, &ignored))
        return 0;
    return pe.optionalOffset + 64;
}

uint32_t ComputePeChecksum(const unsigned char* image, size_t size, size_t checksumOffset)
{
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        sum += GetU16(image + i);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < size) {
        sum += image[i];
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + size);
}

int ListPeResources(const unsigned char* image, size_t size, std::vector<PeResource>* out, std::string* error)
{
    PeLayout pe;
    if (!ParseLayout(image, size, &pe, error))
        return 0;
    std::vector<TreeLeaf> leaves;
    unsigned char rootHeader[12];
    if (!LoadLeaves(image, size, pe, rootHeader, &leaves, error))
        return 0;
    out->clear();
    for (const TreeLeaf& leaf : leaves)
        out->push_back(leaf.res);
    return 1;
}

int FindPeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, size_t* offset,
                   size_t* length, std::string* error)
{
    std::vector<PeResource> all;
    if (!ListPeResources(image, size, &all, error))
        return 0;
    const PeResource* found = nullptr;
    for (const PeResource& r : all) {
        if (!KeyMatchesName(r.type, typeName) || r.name.isName || r.name.id != id)
            continue;
        if (!found || (r.language == 1041 && found->language != 1041))
            found = &r;
    }
    if (!found)
        return Fail(error, std::string("the executable holds no ") + typeName + "/" + std::to_string(id) +
                               " resource");
    *offset = found->offset;
    *length = found->size;
    return 1;
}

int WritePeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, uint16_t language,
                    const unsigned char* payload, size_t payloadSize, std::vector<unsigned char>* out,
                    std::string* error)
{
    PeLayout pe;
    if (!ParseLayout(image, size, &pe, error))
        return 0;
    if (pe.dirCount <= DirResource)
        return Fail(error, "the executable has no resource directory slot");
    std::vector<TreeLeaf> leaves;
    unsigned char rootHeader[12];
    if (!LoadLeaves(image, size, pe, rootHeader, &leaves, error))
        return 0;

    // The new tree: every other leaf, and the payload in the one language.
    std::vector<TreeLeaf> kept;
    const unsigned char* oldTypeHeader = nullptr;
    for (const TreeLeaf& leaf : leaves) {
        if (KeyMatchesName(leaf.res.type, typeName)) {
            oldTypeHeader = leaf.typeHeader;
            if (!leaf.res.name.isName && leaf.res.name.id == id)
                continue;
        }
        kept.push_back(leaf);
    }
    TreeLeaf added;
    memset(added.typeHeader, 0, sizeof added.typeHeader);
    memset(added.nameHeader, 0, sizeof added.nameHeader);
    if (oldTypeHeader)
        memcpy(added.typeHeader, oldTypeHeader, 12);
    added.res.type.isName = 1;
    added.res.type.id = 0;
    for (const char* c = typeName; *c; ++c)
        added.res.type.name.push_back((char16_t)AsciiUpper((unsigned char)*c));
    added.res.name.isName = 0;
    added.res.name.id = id;
    added.res.language = language;
    added.res.codePage = 0;
    added.res.offset = 0;
    added.res.size = payloadSize;
    added.isPayload = 1;
    kept.push_back(added);
    std::stable_sort(kept.begin(), kept.end(), [](const TreeLeaf& a, const TreeLeaf& b) {
        int c = CompareKeys(a.res.type, b.res.type);
        if (c == 0)
            c = CompareKeys(a.res.name, b.res.name);
        if (c == 0)
            return a.res.language < b.res.language;
        return c < 0;
    });
    // Types or names shared with the added leaf take its directory headers from the first leaf of the group.
    for (size_t i = 1; i < kept.size(); ++i) {
        if (KeysEqual(kept[i].res.type, kept[i - 1].res.type)) {
            memcpy(kept[i].typeHeader, kept[i - 1].typeHeader, 12);
            if (KeysEqual(kept[i].res.name, kept[i - 1].res.name))
                memcpy(kept[i].nameHeader, kept[i - 1].nameHeader, 12);
        }
    }
    std::vector<Blob> blobs;
    for (const TreeLeaf& leaf : kept)
        blobs.push_back(leaf.isPayload ? Blob{payload, payloadSize} : Blob{image + leaf.res.offset, leaf.res.size});

    // Section order in memory.
    int order[MaxSections];
    for (int i = 0; i < pe.sectionCount; ++i)
        order[i] = i;
    std::sort(order, order + pe.sectionCount,
              [&pe](int a, int b) { return pe.sections[a].virtualAddress < pe.sections[b].virtualAddress; });

    uint32_t resRva, resSize;
    GetDirectory(image, pe, DirResource, &resRva, &resSize);
    int resSection = resRva ? SectionOfRva(pe, resRva) : -1;

    // Rebuild in place when the directory opens its own section, nothing else points into that section, and
    // every section behind it may move (only discardable ones, whose RVAs nothing but the data directories holds).
    int inPlace = resSection >= 0 && pe.sections[resSection].virtualAddress == resRva &&
                  pe.sections[resSection].rawSize != 0;
    int firstMoved = -1;
    if (inPlace) {
        for (int k = 0; k < pe.sectionCount; ++k)
            if (order[k] == resSection)
                firstMoved = k;
        for (int k = firstMoved + 1; k < pe.sectionCount; ++k)
            if (!(pe.sections[order[k]].characteristics & ScnDiscardable))
                inPlace = 0;
        const PeSection& r = pe.sections[resSection];
        for (uint32_t d = 0; d < pe.dirCount && inPlace; ++d) {
            if (d == (uint32_t)DirResource || d == (uint32_t)DirSecurity)
                continue;
            uint32_t rva, len;
            GetDirectory(image, pe, (int)d, &rva, &len);
            if (rva && rva >= r.virtualAddress && rva < r.virtualAddress + SectionExtent(r))
                inPlace = 0;
        }
    }
    if (!inPlace) {
        size_t tableEnd = pe.sectionTable + (size_t)(pe.sectionCount + 1) * 40;
        uint32_t firstRaw = pe.sizeOfHeaders;
        for (int i = 0; i < pe.sectionCount; ++i)
            if (pe.sections[i].rawSize && pe.sections[i].rawPointer < firstRaw)
                firstRaw = pe.sections[i].rawPointer;
        if (pe.sectionCount >= MaxSections || tableEnd > firstRaw)
            return Fail(error, "the executable has no room for one more section header");
        firstMoved = pe.sectionCount;
    }

    // Sections that stay where they are, and those laid out anew behind them.
    std::vector<OutSection> sections;
    uint64_t keptRawEnd = pe.sizeOfHeaders;
    for (int k = 0; k < firstMoved; ++k) {
        const PeSection& s = pe.sections[order[k]];
        sections.push_back(OutSection{order[k], s});
        if (s.rawSize)
            keptRawEnd = std::max<uint64_t>(keptRawEnd, (uint64_t)s.rawPointer + s.rawSize);
    }
    uint64_t nextVa;
    PeSection resHeader;
    if (inPlace) {
        resHeader = pe.sections[resSection];
        nextVa = resHeader.virtualAddress;
    } else {
        memset(&resHeader, 0, sizeof resHeader);
        memcpy(resHeader.name, ".rsrc\0\0\0", 8);
        resHeader.characteristics = ScnInitializedData | ScnMemRead;
        resHeader.headerOffset = pe.sectionTable + (size_t)pe.sectionCount * 40;
        nextVa = 0;
        for (int i = 0; i < pe.sectionCount; ++i)
            nextVa = std::max<uint64_t>(nextVa, AlignUp(pe.sections[i].virtualAddress + SectionExtent(pe.sections[i]),
                                                        pe.sectionAlignment));
    }
    std::vector<unsigned char> tree;
    uint32_t treeSize = 0;
    if (nextVa > 0xFFFFFFFFull)
        return Fail(error, "resources would lie beyond 4 GiB");
    if (!BuildTree(kept, blobs, rootHeader, (uint32_t)nextVa, &tree, &treeSize, error))
        return 0;

    uint64_t rawAt = AlignUp(keptRawEnd, pe.fileAlignment);
    resHeader.virtualAddress = (uint32_t)nextVa;
    resHeader.virtualSize = treeSize;
    resHeader.rawPointer = (uint32_t)rawAt;
    resHeader.rawSize = (uint32_t)AlignUp(treeSize, pe.fileAlignment);
    if (treeSize == 0)
        resHeader.rawPointer = 0;
    sections.push_back(OutSection{-1, resHeader});
    nextVa = AlignUp(nextVa + treeSize, pe.sectionAlignment);
    rawAt += resHeader.rawSize;
    for (int k = firstMoved + 1; k < pe.sectionCount && inPlace; ++k) {
        PeSection s = pe.sections[order[k]];
        s.virtualAddress = (uint32_t)nextVa;
        if (s.rawSize) {
            s.rawPointer = (uint32_t)rawAt;
            rawAt += AlignUp(s.rawSize, pe.fileAlignment);
        }
        nextVa = AlignUp(nextVa + SectionExtent(s), pe.sectionAlignment);
        sections.push_back(OutSection{order[k], s});
    }
    if (nextVa > 0xFFFFFFFFull || rawAt > 0xFFFFFFFFull)
        return Fail(error, "the rewritten image would be larger than 4 GiB");

    // Trailing bytes behind every section (a COFF symbol table, say) move with the end of the file; a
    // signature is dropped.
    uint64_t inputRawEnd = pe.sizeOfHeaders;
    for (int i = 0; i < pe.sectionCount; ++i)
        if (pe.sections[i].rawSize)
            inputRawEnd = std::max<uint64_t>(inputRawEnd, (uint64_t)pe.sections[i].rawPointer + pe.sections[i].rawSize);
    uint32_t certAt, certSize;
    GetDirectory(image, pe, DirSecurity, &certAt, &certSize);

    out->clear();
    out->reserve((size_t)rawAt + (size - std::min<uint64_t>(size, inputRawEnd)));
    out->insert(out->end(), image, image + keptRawEnd);
    out->resize((size_t)AlignUp(keptRawEnd, pe.fileAlignment), 0);
    for (size_t k = (size_t)firstMoved; k < sections.size(); ++k) {
        const OutSection& s = sections[k];
        if (s.header.rawSize == 0)
            continue;
        out->resize(s.header.rawPointer, 0);
        if (s.source == -1)
            out->insert(out->end(), tree.begin(), tree.end());
        else
            out->insert(out->end(), image + pe.sections[s.source].rawPointer,
                        image + pe.sections[s.source].rawPointer + pe.sections[s.source].rawSize);
        out->resize((size_t)s.header.rawPointer + s.header.rawSize, 0);
    }
    uint64_t overlayShift = out->size() - inputRawEnd;
    for (uint64_t at = inputRawEnd; at < size;) {
        if (certSize && at == certAt && (uint64_t)certAt + certSize <= size) {
            at += certSize;
            continue;
        }
        uint64_t stop = size;
        if (certSize && certAt > at && certAt < stop)
            stop = certAt;
        out->insert(out->end(), image + at, image + stop);
        at = stop;
    }

    // Headers. RVAs that pointed into a moved section follow it.
    unsigned char* o = out->data();
    auto mapRva = [&](uint32_t rva, uint32_t* mapped) -> int {
        for (const OutSection& s : sections) {
            if (s.source < 0)
                continue;
            const PeSection& old = pe.sections[s.source];
            if (rva >= old.virtualAddress && (uint64_t)rva < old.virtualAddress + SectionExtent(old)) {
                *mapped = rva - old.virtualAddress + s.header.virtualAddress;
                return 1;
            }
        }
        return 0;
    };
    auto mapOffset = [&](uint32_t offset, uint32_t* mapped) -> int {
        for (const OutSection& s : sections) {
            if (s.source < 0)
                continue;
            const PeSection& old = pe.sections[s.source];
            if (old.rawSize && offset >= old.rawPointer && (uint64_t)offset < (uint64_t)old.rawPointer + old.rawSize) {
                *mapped = offset - old.rawPointer + s.header.rawPointer;
                return 1;
            }
        }
        if (offset >= inputRawEnd) {
            *mapped = (uint32_t)(offset + overlayShift);
            return 1;
        }
        if (offset < pe.sizeOfHeaders) {
            *mapped = offset;
            return 1;
        }
        return 0;
    };

    for (const OutSection& s : sections) {
        unsigned char* h = o + s.header.headerOffset;
        memcpy(h, s.header.name, 8);
        PutU32(h + 8, s.header.virtualSize);
        PutU32(h + 12, s.header.virtualAddress);
        PutU32(h + 16, s.header.rawSize);
        PutU32(h + 20, s.header.rawPointer);
        if (s.source < 0 && !inPlace) {
            memset(h + 24, 0, 12);
            PutU32(h + 36, s.header.characteristics);
        }
    }
    unsigned char* fileHeader = o + pe.peOffset + 4;
    PutU16(fileHeader + 2, (uint32_t)sections.size());
    uint32_t symbols = GetU32(fileHeader + 8);
    if (symbols) {
        uint32_t mapped;
        if (mapOffset(symbols, &mapped)) {
            PutU32(fileHeader + 8, mapped);
        } else {
            PutU32(fileHeader + 8, 0);
            PutU32(fileHeader + 12, 0);
        }
    }
    unsigned char* opt = o + pe.optionalOffset;
    int64_t initDelta = 0;
    if (inPlace && (pe.sections[resSection].characteristics & ScnInitializedData))
        initDelta -= pe.sections[resSection].rawSize;
    if (resHeader.characteristics & ScnInitializedData)
        initDelta += resHeader.rawSize;
    int64_t initialized = (int64_t)GetU32(opt + 8) + initDelta;
    PutU32(opt + 8, (uint32_t)std::max<int64_t>(0, std::min<int64_t>(initialized, 0xFFFFFFFFll)));
    PutU32(opt + 56, (uint32_t)nextVa);
    for (uint32_t d = 0; d < pe.dirCount; ++d) {
        unsigned char* dir = o + pe.dirOffset + (size_t)d * 8;
        if (d == (uint32_t)DirResource) {
            PutU32(dir, resHeader.virtualAddress);
            PutU32(dir + 4, treeSize);
        } else if (d == (uint32_t)DirSecurity) {
            PutU32(dir, 0);
            PutU32(dir + 4, 0);
        } else {
            uint32_t rva = GetU32(dir), mapped;
            if (rva && mapRva(rva, &mapped))
                PutU32(dir, mapped);
        }
    }
    // Debug records hold both an RVA and a file offset of their data.
    uint32_t debugRva, debugSize;
    GetDirectory(o, pe, DirDebug, &debugRva, &debugSize);
    if (debugRva && debugSize) {
        for (const OutSection& s : sections) {
            if (s.header.rawSize == 0 || debugRva < s.header.virtualAddress ||
                (uint64_t)debugRva + debugSize > (uint64_t)s.header.virtualAddress + s.header.rawSize)
                continue;
            unsigned char* entries = o + s.header.rawPointer + (debugRva - s.header.virtualAddress);
            for (uint32_t e = 0; e + 28 <= debugSize; e += 28) {
                uint32_t rva = GetU32(entries + e + 20), offset = GetU32(entries + e + 24), mapped;
                if (rva && mapRva(rva, &mapped))
                    PutU32(entries + e + 20, mapped);
                if (offset && mapOffset(offset, &mapped))
                    PutU32(entries + e + 24, mapped);
            }
            break;
        }
    }
    size_t sumAt = pe.optionalOffset + 64;
    PutU32(o + sumAt, ComputePeChecksum(o, out->size(), sumAt));
    return 1;
}
