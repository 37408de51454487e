#pragma once
// Internals shared by reading and rewriting PE images: the headers and the resource tree as parsed. All offsets
// are checked against the bytes at hand before they are read.
#include <cstdint>
#include <string>
#include <vector>

#include "pe_resources.h"

const int PeMaxSections = 96;  // the loader's own limit
const uint32_t PeScnInitializedData = 0x00000040;
const uint32_t PeScnDiscardable = 0x02000000;
const uint32_t PeScnMemRead = 0x40000000;
const int PeDirResource = 2;
const int PeDirSecurity = 4;  // the one data directory that holds a file offset, not an RVA
const int PeDirDebug = 6;

uint16_t PeU16(const unsigned char* p);
uint32_t PeU32(const unsigned char* p);
void PePutU16(unsigned char* p, uint32_t v);
void PePutU32(unsigned char* p, uint32_t v);
uint64_t PeAlignUp(uint64_t value, uint32_t alignment);
int PeFail(std::string* error, const std::string& text);

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
    PeSection sections[PeMaxSections];
};

// Memory extent of a section: linkers may leave VirtualSize 0 and mean the raw size.
uint64_t PeSectionExtent(const PeSection& s);

// The headers from the first `headerBytes` bytes of a file of `fileSize` bytes.
int ParsePeLayout(const unsigned char* headers, size_t headerBytes, uint64_t fileSize, PeLayout* pe,
                  std::string* error);

// Data directory `index` (read from the parsed headers): RVA and size, or 0 and 0 when the image has fewer.
void GetPeDirectory(const unsigned char* headers, const PeLayout& pe, int index, uint32_t* rva, uint32_t* length);

// Index of the section whose memory holds `rva`, or -1.
int PeSectionOfRva(const PeLayout& pe, uint32_t rva);

// File offset of `length` bytes at `rva`; they must all be stored in the file.
int PeRvaToOffset(const PeLayout& pe, uint32_t rva, uint64_t length, size_t* offset);

// One leaf of the resource tree, with copies of its parent directories' headers (characteristics, time stamp,
// version) so that a rebuilt tree keeps them.
struct PeTreeLeaf {
    PeResource res;
    unsigned char typeHeader[12];
    unsigned char nameHeader[12];
    int change;  // -1: a leaf of the image; else the index of the change that adds it
};

// File offset of the resource directory and how many bytes of its section follow it; 0 offset and 0 bytes when
// the image has no resource directory. 0 when it lies outside the file.
int LocatePeTree(const unsigned char* headers, const PeLayout& pe, uint64_t* offset, uint64_t* available,
                 std::string* error);

// The leaves of the tree whose directory bytes are `tree` (`size` of them at hand).
int ReadPeTree(const PeLayout& pe, const unsigned char* tree, size_t size, unsigned char rootHeader[12],
               std::vector<PeTreeLeaf>* leaves, std::string* error);

// The tree of an image held whole in memory; no resource directory gives an empty list.
int LoadPeLeaves(const unsigned char* image, size_t size, const PeLayout& pe, unsigned char rootHeader[12],
                 std::vector<PeTreeLeaf>* leaves, std::string* error);

int PeAsciiUpper(int c);
int PeKeyMatchesName(const PeResourceKey& key, const char* name);
// Directory order the loader's binary search relies on: names (by code unit) before ids (ascending).
int ComparePeKeys(const PeResourceKey& a, const PeResourceKey& b);
