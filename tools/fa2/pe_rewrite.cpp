// Rewriting the resources of a PE image into a sink: the image is planned in memory (it is small), the new
// resources' bytes are copied into the sink as they are written, from memory or from a file.
#include <algorithm>
#include <cstring>

#include "pe_layout.h"
#include "pe_resources.h"

namespace {

const uint32_t PageSize = 4096;

// Where a section of the rewritten image comes from: the input's raw bytes, or the new resource bytes.
struct OutSection {
    int source;        // index into the input's sections, or -1 for the new resource bytes
    PeSection header;  // the header as written
};

// The rewritten image as a list of pieces in file order: bytes of its own (copied from the input and patched
// there), zeros, or the bytes of a change.
struct Piece {
    uint64_t at;
    std::vector<unsigned char> bytes;
    int change;       // a change whose bytes fill this piece, or -1
    uint64_t length;  // zeros, or the change's bytes
};

struct Output {
    std::vector<Piece> pieces;
    uint64_t size;
};

struct Rewrite {
    const unsigned char* image;
    size_t size;
    const PeResourceChange* changes;
    size_t changeCount;
    PeLayout pe;
    unsigned char rootHeader[12];
    std::vector<PeTreeLeaf> leaves;  // the new tree's leaves, in directory order
    int order[PeMaxSections];        // input sections in memory order
    int resSection;                  // the input's resource section, or -1
    int inPlace;                     // 1: rebuilt where it stands; 0: a new section at the end
    int firstMoved;                  // the first index of `order` laid out anew
    uint64_t keptRawEnd;             // end of the raw data of the sections that stay
    uint64_t inputRawEnd;            // end of every section's raw data in the input
    PeSection resHeader;
    std::vector<OutSection> sections;
    std::vector<unsigned char> directory;  // tables, data entries and names
    std::vector<uint64_t> dataAt;          // each leaf's bytes, from the section's start
    uint32_t treeSize;                     // directory and data
    uint64_t nextVa;                       // the image's size in memory
    uint32_t certAt, certSize;
};

void AddOwnBytes(Output* out, const unsigned char* bytes, size_t count)
{
    if (count == 0)
        return;
    Piece piece;
    piece.at = out->size;
    piece.bytes.assign(bytes, bytes + count);
    piece.change = -1;
    piece.length = count;
    out->pieces.push_back(piece);
    out->size += count;
}

void PadTo(Output* out, uint64_t offset)
{
    if (offset <= out->size)
        return;
    Piece piece;
    piece.at = out->size;
    piece.change = -1;
    piece.length = offset - out->size;
    out->pieces.push_back(piece);
    out->size = offset;
}

void AddChangeBytes(Output* out, int change, uint64_t length)
{
    if (length == 0)
        return;
    Piece piece;
    piece.at = out->size;
    piece.change = change;
    piece.length = length;
    out->pieces.push_back(piece);
    out->size += length;
}

// Own bytes at `offset` to patch, or null when they are not the output's own (zeros, a change's bytes).
unsigned char* OwnBytesAt(Output* out, uint64_t offset, size_t count)
{
    for (Piece& piece : out->pieces)
        if (!piece.bytes.empty() && offset >= piece.at && offset + count <= piece.at + piece.bytes.size())
            return piece.bytes.data() + (offset - piece.at);
    return nullptr;
}

int KeysEqual(const PeResourceKey& a, const PeResourceKey& b) { return ComparePeKeys(a, b) == 0; }

// The new tree: every leaf of the image but the changed resources (in any language), and one leaf per change.
int PlanLeaves(Rewrite* w, std::string* error)
{
    std::vector<PeTreeLeaf> leaves;
    if (!LoadPeLeaves(w->image, w->size, w->pe, w->rootHeader, &leaves, error))
        return 0;
    std::vector<PeTreeLeaf> kept;
    for (const PeTreeLeaf& leaf : leaves) {
        int replaced = 0;
        for (size_t c = 0; c < w->changeCount; ++c)
            replaced |= PeKeyMatchesName(leaf.res.type, w->changes[c].typeName) && !leaf.res.name.isName &&
                        leaf.res.name.id == w->changes[c].id;
        if (!replaced)
            kept.push_back(leaf);
    }
    for (size_t c = 0; c < w->changeCount; ++c) {
        const PeResourceChange& change = w->changes[c];
        if (change.size > 0xFFFFFFFFu)
            return PeFail(error, "a resource larger than 4 GiB");
        PeTreeLeaf added;
        memset(added.typeHeader, 0, sizeof added.typeHeader);
        memset(added.nameHeader, 0, sizeof added.nameHeader);
        for (const PeTreeLeaf& leaf : leaves)
            if (PeKeyMatchesName(leaf.res.type, change.typeName))
                memcpy(added.typeHeader, leaf.typeHeader, 12);
        added.res.type.isName = 1;
        added.res.type.id = 0;
        for (const char* p = change.typeName; *p; ++p)
            added.res.type.name.push_back((char16_t)PeAsciiUpper((unsigned char)*p));
        added.res.name.isName = 0;
        added.res.name.id = change.id;
        added.res.language = change.language;
        added.res.codePage = 0;
        added.res.offset = 0;
        added.res.size = (size_t)change.size;
        added.change = (int)c;
        kept.push_back(added);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const PeTreeLeaf& a, const PeTreeLeaf& b) {
        int c = ComparePeKeys(a.res.type, b.res.type);
        if (c == 0)
            c = ComparePeKeys(a.res.name, b.res.name);
        if (c == 0)
            return a.res.language < b.res.language;
        return c < 0;
    });
    // Leaves that share a type or a name take the directory headers of the group's first leaf.
    for (size_t i = 1; i < kept.size(); ++i) {
        if (KeysEqual(kept[i].res.type, kept[i - 1].res.type)) {
            memcpy(kept[i].typeHeader, kept[i - 1].typeHeader, 12);
            if (KeysEqual(kept[i].res.name, kept[i - 1].res.name))
                memcpy(kept[i].nameHeader, kept[i - 1].nameHeader, 12);
        }
    }
    w->leaves.swap(kept);
    return 1;
}

// Rebuild in place when the directory opens its own section, nothing else points into that section, and every
// section behind it may move (only discardable ones, whose RVAs nothing but the data directories holds);
// otherwise a new section goes at the end, which needs room for one more section header.
int ChooseResourceSection(Rewrite* w, std::string* error)
{
    const PeLayout& pe = w->pe;
    for (int i = 0; i < pe.sectionCount; ++i)
        w->order[i] = i;
    std::sort(w->order, w->order + pe.sectionCount,
              [&pe](int a, int b) { return pe.sections[a].virtualAddress < pe.sections[b].virtualAddress; });
    uint32_t resRva, resSize;
    GetPeDirectory(w->image, pe, PeDirResource, &resRva, &resSize);
    w->resSection = resRva ? PeSectionOfRva(pe, resRva) : -1;
    w->inPlace = w->resSection >= 0 && pe.sections[w->resSection].virtualAddress == resRva &&
                 pe.sections[w->resSection].rawSize != 0;
    w->firstMoved = -1;
    if (w->inPlace) {
        for (int k = 0; k < pe.sectionCount; ++k)
            if (w->order[k] == w->resSection)
                w->firstMoved = k;
        for (int k = w->firstMoved + 1; k < pe.sectionCount; ++k)
            if (!(pe.sections[w->order[k]].characteristics & PeScnDiscardable))
                w->inPlace = 0;
        const PeSection& r = pe.sections[w->resSection];
        for (uint32_t d = 0; d < pe.dirCount && w->inPlace; ++d) {
            if (d == (uint32_t)PeDirResource || d == (uint32_t)PeDirSecurity)
                continue;
            uint32_t rva, len;
            GetPeDirectory(w->image, pe, (int)d, &rva, &len);
            if (rva && rva >= r.virtualAddress && rva < r.virtualAddress + PeSectionExtent(r))
                w->inPlace = 0;
        }
    }
    if (!w->inPlace) {
        size_t tableEnd = pe.sectionTable + (size_t)(pe.sectionCount + 1) * 40;
        uint32_t firstRaw = pe.sizeOfHeaders;
        for (int i = 0; i < pe.sectionCount; ++i)
            if (pe.sections[i].rawSize && pe.sections[i].rawPointer < firstRaw)
                firstRaw = pe.sections[i].rawPointer;
        if (pe.sectionCount >= PeMaxSections || tableEnd > firstRaw)
            return PeFail(error, "the executable has no room for one more section header");
        w->firstMoved = pe.sectionCount;
    }

    // The sections that stay, and the header of the resource section (its place in memory).
    w->sections.clear();
    w->keptRawEnd = pe.sizeOfHeaders;
    for (int k = 0; k < w->firstMoved; ++k) {
        const PeSection& s = pe.sections[w->order[k]];
        w->sections.push_back(OutSection{w->order[k], s});
        if (s.rawSize)
            w->keptRawEnd = std::max<uint64_t>(w->keptRawEnd, (uint64_t)s.rawPointer + s.rawSize);
    }
    if (w->inPlace) {
        w->resHeader = pe.sections[w->resSection];
        w->nextVa = w->resHeader.virtualAddress;
    } else {
        memset(&w->resHeader, 0, sizeof w->resHeader);
        memcpy(w->resHeader.name, ".rsrc\0\0\0", 8);
        w->resHeader.characteristics = PeScnInitializedData | PeScnMemRead;
        w->resHeader.headerOffset = pe.sectionTable + (size_t)pe.sectionCount * 40;
        w->nextVa = 0;
        for (int i = 0; i < pe.sectionCount; ++i)
            w->nextVa = std::max<uint64_t>(
                w->nextVa, PeAlignUp(pe.sections[i].virtualAddress + PeSectionExtent(pe.sections[i]),
                                     pe.sectionAlignment));
    }
    if (w->nextVa > 0xFFFFFFFFull)
        return PeFail(error, "resources would lie beyond 4 GiB");
    return 1;
}

// The tree's tables, data entries and names for a section at `sectionRva`, and where each leaf's bytes go:
// every directory table, the data entries, the names, then each resource's bytes on an 8-byte boundary.
int BuildDirectory(Rewrite* w, std::string* error)
{
    const std::vector<PeTreeLeaf>& leaves = w->leaves;
    uint32_t sectionRva = (uint32_t)w->nextVa;
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
    uint64_t directorySize = at;
    w->dataAt.assign(leafCount, 0);
    for (size_t i = 0; i < leafCount; ++i) {
        at = PeAlignUp(at, 8);
        w->dataAt[i] = at;
        at += leaves[i].res.size;
    }
    if (at + sectionRva > 0xFFFFFFFFull || at > 0x7FFFFFFFull)
        return PeFail(error, "resources would be larger than a PE image can hold");

    w->directory.assign((size_t)directorySize, 0);
    unsigned char* b = w->directory.data();
    auto putEntries = [&](unsigned char* dir, const unsigned char header[12], size_t named, size_t ids) {
        memcpy(dir, header, 12);
        PePutU16(dir + 12, (uint32_t)named);
        PePutU16(dir + 14, (uint32_t)ids);
    };
    auto keyField = [](const PeResourceKey& key, uint64_t nameAt) -> uint32_t {
        return key.isName ? (uint32_t)(0x80000000u | nameAt) : key.id;
    };
    auto putName = [&](uint64_t nameAt, const std::u16string& name) {
        unsigned char* s = b + nameAt;
        PePutU16(s, (uint32_t)name.size());
        for (size_t k = 0; k < name.size(); ++k)
            PePutU16(s + 2 + 2 * k, name[k]);
    };

    size_t namedTypes = 0;
    for (size_t t = 0; t < typeCount; ++t)
        namedTypes += leaves[typeStarts[t]].res.type.isName ? 1 : 0;
    putEntries(b, w->rootHeader, namedTypes, typeCount - namedTypes);
    ni = 0;
    for (size_t t = 0; t < typeCount; ++t) {
        const PeTreeLeaf& first = leaves[typeStarts[t]];
        PePutU32(b + 16 + t * 8, keyField(first.res.type, typeNameAt[t]));
        PePutU32(b + 16 + t * 8 + 4, (uint32_t)(0x80000000u | typeDirAt[t]));
        if (first.res.type.isName)
            putName(typeNameAt[t], first.res.type.name);
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
            const PeTreeLeaf& nameLeaf = leaves[nameStarts[n]];
            PePutU32(typeDir + 16 + k * 8, keyField(nameLeaf.res.name, nameNameAt[n]));
            PePutU32(typeDir + 16 + k * 8 + 4, (uint32_t)(0x80000000u | nameDirAt[n]));
            if (nameLeaf.res.name.isName)
                putName(nameNameAt[n], nameLeaf.res.name.name);
            size_t leafEnd = n + 1 < nameCount ? nameStarts[n + 1] : leafCount;
            unsigned char* nameDir = b + nameDirAt[n];
            putEntries(nameDir, nameLeaf.nameHeader, 0, leafEnd - nameStarts[n]);
            for (size_t i = nameStarts[n]; i < leafEnd; ++i) {
                unsigned char* le = nameDir + 16 + (i - nameStarts[n]) * 8;
                PePutU32(le, leaves[i].res.language);
                PePutU32(le + 4, (uint32_t)dataEntryAt[i]);
                unsigned char* de = b + dataEntryAt[i];
                PePutU32(de, (uint32_t)(sectionRva + w->dataAt[i]));
                PePutU32(de + 4, (uint32_t)leaves[i].res.size);
                PePutU32(de + 8, leaves[i].res.codePage);
            }
        }
    }
    w->treeSize = (uint32_t)at;
    return 1;
}

// Places the resource section behind the sections that stay, on a page boundary of the file (Wine maps a
// section only when its file offset is page-aligned, and reads it whole otherwise), and the moved sections
// behind it.
int LayOutSections(Rewrite* w, std::string* error)
{
    const PeLayout& pe = w->pe;
    uint64_t rawAt = PeAlignUp(w->keptRawEnd, std::max(pe.fileAlignment, PageSize));
    w->resHeader.virtualAddress = (uint32_t)w->nextVa;
    w->resHeader.virtualSize = w->treeSize;
    w->resHeader.rawPointer = (uint32_t)rawAt;
    w->resHeader.rawSize = (uint32_t)PeAlignUp(w->treeSize, pe.fileAlignment);
    if (w->treeSize == 0)
        w->resHeader.rawPointer = 0;
    w->sections.push_back(OutSection{-1, w->resHeader});
    w->nextVa = PeAlignUp(w->nextVa + w->treeSize, pe.sectionAlignment);
    rawAt += w->resHeader.rawSize;
    for (int k = w->firstMoved + 1; k < pe.sectionCount && w->inPlace; ++k) {
        PeSection s = pe.sections[w->order[k]];
        s.virtualAddress = (uint32_t)w->nextVa;
        if (s.rawSize) {
            s.rawPointer = (uint32_t)rawAt;
            rawAt += PeAlignUp(s.rawSize, pe.fileAlignment);
        }
        w->nextVa = PeAlignUp(w->nextVa + PeSectionExtent(s), pe.sectionAlignment);
        w->sections.push_back(OutSection{w->order[k], s});
    }
    if (w->nextVa > 0xFFFFFFFFull || rawAt > 0xFFFFFFFFull)
        return PeFail(error, "the rewritten image would be larger than 4 GiB");
    w->inputRawEnd = pe.sizeOfHeaders;
    for (int i = 0; i < pe.sectionCount; ++i)
        if (pe.sections[i].rawSize)
            w->inputRawEnd = std::max<uint64_t>(w->inputRawEnd,
                                                (uint64_t)pe.sections[i].rawPointer + pe.sections[i].rawSize);
    GetPeDirectory(w->image, pe, PeDirSecurity, &w->certAt, &w->certSize);
    return 1;
}

// The pieces in file order: the headers and the sections that stay, the resource section (its directory and
// each leaf's bytes), the moved sections, and what followed the last section (a signature left out).
void AssembleOutput(const Rewrite* w, Output* out)
{
    const PeLayout& pe = w->pe;
    out->pieces.clear();
    out->size = 0;
    AddOwnBytes(out, w->image, (size_t)w->keptRawEnd);
    PadTo(out, PeAlignUp(w->keptRawEnd, pe.fileAlignment));
    for (size_t k = (size_t)w->firstMoved; k < w->sections.size(); ++k) {
        const OutSection& s = w->sections[k];
        if (s.header.rawSize == 0)
            continue;
        PadTo(out, s.header.rawPointer);
        if (s.source == -1) {
            AddOwnBytes(out, w->directory.data(), w->directory.size());
            for (size_t i = 0; i < w->leaves.size(); ++i) {
                const PeTreeLeaf& leaf = w->leaves[i];
                PadTo(out, s.header.rawPointer + w->dataAt[i]);
                if (leaf.change >= 0)
                    AddChangeBytes(out, leaf.change, leaf.res.size);
                else
                    AddOwnBytes(out, w->image + leaf.res.offset, leaf.res.size);
            }
        } else {
            const PeSection& old = pe.sections[s.source];
            AddOwnBytes(out, w->image + old.rawPointer, old.rawSize);
        }
        PadTo(out, (uint64_t)s.header.rawPointer + s.header.rawSize);
    }
    for (uint64_t at = w->inputRawEnd; at < w->size;) {
        if (w->certSize && at == w->certAt && (uint64_t)w->certAt + w->certSize <= w->size) {
            at += w->certSize;
            continue;
        }
        uint64_t stop = w->size;
        if (w->certSize && w->certAt > at && w->certAt < stop)
            stop = w->certAt;
        AddOwnBytes(out, w->image + at, (size_t)(stop - at));
        at = stop;
    }
}

// An RVA or a file offset of the input, where it lies in the output: sections that moved take theirs along.
int MapRva(const Rewrite* w, uint32_t rva, uint32_t* mapped)
{
    for (const OutSection& s : w->sections) {
        if (s.source < 0)
            continue;
        const PeSection& old = w->pe.sections[s.source];
        if (rva >= old.virtualAddress && (uint64_t)rva < old.virtualAddress + PeSectionExtent(old)) {
            *mapped = rva - old.virtualAddress + s.header.virtualAddress;
            return 1;
        }
    }
    return 0;
}

int MapOffset(const Rewrite* w, uint64_t outputSize, uint32_t offset, uint32_t* mapped)
{
    for (const OutSection& s : w->sections) {
        if (s.source < 0)
            continue;
        const PeSection& old = w->pe.sections[s.source];
        if (old.rawSize && offset >= old.rawPointer && (uint64_t)offset < (uint64_t)old.rawPointer + old.rawSize) {
            *mapped = offset - old.rawPointer + s.header.rawPointer;
            return 1;
        }
    }
    if (offset >= w->inputRawEnd) {
        uint64_t rawEnd = 0;
        for (const OutSection& s : w->sections)
            rawEnd = std::max<uint64_t>(rawEnd, (uint64_t)s.header.rawPointer + s.header.rawSize);
        (void)outputSize;
        *mapped = (uint32_t)(offset - w->inputRawEnd + rawEnd);
        return 1;
    }
    if (offset < w->pe.sizeOfHeaders) {
        *mapped = offset;
        return 1;
    }
    return 0;
}

// Section table, section count, symbol table, sizes, data directories and the checksum field (0 until the
// whole image has gone by). All of them lie in the headers, the output's first piece.
void FixHeaders(const Rewrite* w, Output* out)
{
    const PeLayout& pe = w->pe;
    unsigned char* o = out->pieces[0].bytes.data();
    for (const OutSection& s : w->sections) {
        unsigned char* h = o + s.header.headerOffset;
        memcpy(h, s.header.name, 8);
        PePutU32(h + 8, s.header.virtualSize);
        PePutU32(h + 12, s.header.virtualAddress);
        PePutU32(h + 16, s.header.rawSize);
        PePutU32(h + 20, s.header.rawPointer);
        if (s.source < 0 && !w->inPlace) {
            memset(h + 24, 0, 12);
            PePutU32(h + 36, s.header.characteristics);
        }
    }
    unsigned char* fileHeader = o + pe.peOffset + 4;
    PePutU16(fileHeader + 2, (uint32_t)w->sections.size());
    uint32_t symbols = PeU32(fileHeader + 8), mapped;
    if (symbols) {
        if (MapOffset(w, out->size, symbols, &mapped)) {
            PePutU32(fileHeader + 8, mapped);
        } else {
            PePutU32(fileHeader + 8, 0);
            PePutU32(fileHeader + 12, 0);
        }
    }
    unsigned char* opt = o + pe.optionalOffset;
    int64_t initDelta = 0;
    if (w->inPlace && (pe.sections[w->resSection].characteristics & PeScnInitializedData))
        initDelta -= pe.sections[w->resSection].rawSize;
    if (w->resHeader.characteristics & PeScnInitializedData)
        initDelta += w->resHeader.rawSize;
    int64_t initialized = (int64_t)PeU32(opt + 8) + initDelta;
    PePutU32(opt + 8, (uint32_t)std::max<int64_t>(0, std::min<int64_t>(initialized, 0xFFFFFFFFll)));
    PePutU32(opt + 56, (uint32_t)w->nextVa);
    PePutU32(opt + 64, 0);
    for (uint32_t d = 0; d < pe.dirCount; ++d) {
        unsigned char* dir = o + pe.dirOffset + (size_t)d * 8;
        if (d == (uint32_t)PeDirResource) {
            PePutU32(dir, w->resHeader.virtualAddress);
            PePutU32(dir + 4, w->treeSize);
        } else if (d == (uint32_t)PeDirSecurity) {
            PePutU32(dir, 0);
            PePutU32(dir + 4, 0);
        } else {
            uint32_t rva = PeU32(dir);
            if (rva && MapRva(w, rva, &mapped))
                PePutU32(dir, mapped);
        }
    }
}

// Debug records hold both an RVA and a file offset of their data; both follow a moved section.
void FixDebugDirectory(const Rewrite* w, Output* out)
{
    uint32_t debugRva, debugSize;
    GetPeDirectory(out->pieces[0].bytes.data(), w->pe, PeDirDebug, &debugRva, &debugSize);
    if (!debugRva || !debugSize)
        return;
    for (const OutSection& s : w->sections) {
        if (s.header.rawSize == 0 || debugRva < s.header.virtualAddress ||
            (uint64_t)debugRva + debugSize > (uint64_t)s.header.virtualAddress + s.header.rawSize)
            continue;
        unsigned char* entries = OwnBytesAt(out, s.header.rawPointer + (debugRva - s.header.virtualAddress), debugSize);
        if (!entries)
            return;
        for (uint32_t e = 0; e + 28 <= debugSize; e += 28) {
            uint32_t rva = PeU32(entries + e + 20), offset = PeU32(entries + e + 24), mapped;
            if (rva && MapRva(w, rva, &mapped))
                PePutU32(entries + e + 20, mapped);
            if (offset && MapOffset(w, out->size, offset, &mapped))
                PePutU32(entries + e + 24, mapped);
        }
        return;
    }
}

// A change's bytes into the sink and the checksum, a piece at a time when they come from a file.
int EmitChange(const PeResourceChange& change, const ByteSink& sink, PeChecksum* sum, std::string* error)
{
    if (change.bytes) {
        AddPeChecksum(sum, change.bytes, (size_t)change.size);
        return SinkWrite(sink, change.bytes, (size_t)change.size) || PeFail(error, "write error");
    }
    if (!SeekFile(change.file, change.fileOffset))
        return PeFail(error, "cannot seek in a temporary file");
    std::vector<unsigned char> piece((size_t)std::min<uint64_t>(change.size, 1u << 20));
    for (uint64_t left = change.size; left > 0;) {
        size_t want = (size_t)std::min<uint64_t>(left, piece.size());
        if (fread(piece.data(), 1, want, change.file) != want)
            return PeFail(error, "cannot read back a temporary file");
        AddPeChecksum(sum, piece.data(), want);
        if (!SinkWrite(sink, piece.data(), want))
            return PeFail(error, "write error");
        left -= want;
    }
    return 1;
}

// Every piece in order, summed on the way; then the checksum into its field.
int EmitOutput(const Rewrite* w, const Output& out, const ByteSink& sink, std::string* error)
{
    PeChecksum sum;
    StartPeChecksum(&sum);
    for (const Piece& piece : out.pieces) {
        if (piece.change >= 0) {
            if (!EmitChange(w->changes[piece.change], sink, &sum, error))
                return 0;
        } else if (!piece.bytes.empty()) {
            AddPeChecksum(&sum, piece.bytes.data(), piece.bytes.size());
            if (!SinkWrite(sink, piece.bytes.data(), piece.bytes.size()))
                return PeFail(error, "write error");
        } else {
            static const unsigned char zeros[4096] = {0};
            for (uint64_t left = piece.length; left > 0;) {
                size_t n = (size_t)std::min<uint64_t>(left, sizeof zeros);
                AddPeChecksum(&sum, zeros, n);
                if (!SinkWrite(sink, zeros, n))
                    return PeFail(error, "write error");
                left -= n;
            }
        }
    }
    unsigned char field[4];
    PePutU32(field, FinishPeChecksum(&sum));
    if (!sink.patch(sink.context, w->pe.optionalOffset + 64, field, 4))
        return PeFail(error, "write error");
    return 1;
}

}  // namespace

int WritePeResources(const unsigned char* image, size_t size, const PeResourceChange* changes, size_t changeCount,
                     const ByteSink& sink, PeWriteResult* result, std::string* error)
{
    Rewrite w;
    w.image = image;
    w.size = size;
    w.changes = changes;
    w.changeCount = changeCount;
    if (!ParsePeLayout(image, size, size, &w.pe, error))
        return 0;
    if (w.pe.dirCount <= (uint32_t)PeDirResource)
        return PeFail(error, "the executable has no resource directory slot");
    Output out;
    if (!PlanLeaves(&w, error) || !ChooseResourceSection(&w, error) || !BuildDirectory(&w, error) ||
        !LayOutSections(&w, error))
        return 0;
    AssembleOutput(&w, &out);
    FixHeaders(&w, &out);
    FixDebugDirectory(&w, &out);
    if (!EmitOutput(&w, out, sink, error))
        return 0;
    if (result) {
        result->size = out.size;
        result->droppedSignature = w.certSize != 0;
        result->imageSize = w.nextVa;
        result->pe32Plus = w.pe.isPe32Plus;
    }
    return 1;
}

int WritePeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, uint16_t language,
                    const unsigned char* payload, size_t payloadSize, std::vector<unsigned char>* out,
                    std::string* error)
{
    static const unsigned char none = 0;
    PeResourceChange change = {typeName, id, language, payload ? payload : &none, nullptr, 0, payloadSize};
    std::vector<unsigned char> bytes;
    if (!WritePeResources(image, size, &change, 1, VectorSink(&bytes), nullptr, error))
        return 0;
    out->swap(bytes);
    return 1;
}
