#pragma once
// Reading and rewriting the resources of a Windows executable (PE32, and PE32+ where it costs nothing), without
// the platform: the publisher tool runs on Linux build servers too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "byte_sink.h"

// A resource type or name as the image stores it: an integer id, or a name in UTF-16 code units.
struct PeResourceKey {
    int isName;
    uint16_t id;
    std::u16string name;
};

// One leaf of the resource tree; `offset` and `size` locate its bytes in the file.
struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    uint16_t language;
    uint32_t codePage;
    size_t offset;
    size_t size;
};

// Standard integer resource types that callers look for.
const uint16_t PeTypeIcon = 3;
const uint16_t PeTypeDialog = 5;
const uint16_t PeTypeGroupIcon = 14;
const uint16_t PeTypeVersion = 16;
const uint16_t PeTypeManifest = 24;

// 1 when the bytes start like a PE image: "MZ", and "PE\0\0" where the DOS header points.
int LooksLikePeImage(const unsigned char* image, size_t size);

// Every resource of the image, in tree order. An image without resources gives 1 and an empty list; a malformed
// image or tree gives 0 and one line in `error`.
int ListPeResources(const unsigned char* image, size_t size, std::vector<PeResource>* out, std::string* error);

// The resource of type name `typeName` (ASCII letters compared without regard to case, as FindResourceA does)
// and integer id `id`, in any language; language 1041 is preferred when several exist.
int FindPeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, size_t* offset,
                   size_t* length, std::string* error);

// The same, reading only the headers and the resource directory of an open file of `fileSize` bytes: where the
// resource's bytes lie in the file.
int FindPeResourceInFile(FILE* file, uint64_t fileSize, const char* typeName, uint16_t id, uint64_t* offset,
                         uint64_t* length, std::string* error);

// A resource to put into an image: type name and integer id, its language, and its bytes, from memory or from
// a range of an open file (so a payload of any size is copied, never held).
struct PeResourceChange {
    const char* typeName;
    uint16_t id;
    uint16_t language;
    const unsigned char* bytes;  // null: the bytes are `size` bytes of `file` at `fileOffset`
    FILE* file;
    uint64_t fileOffset;
    uint64_t size;
};

struct PeWriteResult {
    uint64_t size;          // bytes written
    int droppedSignature;   // 1: the image carried an Authenticode signature, which could no longer match
    uint64_t imageSize;     // SizeOfImage: what a loader maps
    int pe32Plus;           // 1: a 64-bit image
};

// Writes into `sink` a copy of the image in which each changed resource `typeName`/`id` holds the change's bytes
// in the change's language alone: that resource is dropped in every other language, every other resource keeps
// its bytes, names, languages and code pages. The resource section is rebuilt where it stands when only
// discardable sections (such as .reloc) follow it, which then move behind it; otherwise a new resource section is
// added at the end. Its raw data starts on a 4 KiB boundary of the file, so that every byte of it lies at a file
// offset congruent to its address modulo the page size and a loader can map it instead of reading it. Headers,
// section table, data directories and the checksum are fixed; an Authenticode signature is dropped. 0 with one
// line in `error` for an image this cannot rewrite safely (the sink may then hold part of an image).
int WritePeResources(const unsigned char* image, size_t size, const PeResourceChange* changes, size_t changeCount,
                     const ByteSink& sink, PeWriteResult* result, std::string* error);

// One change from memory, the whole image in `out`.
int WritePeResource(const unsigned char* image, size_t size, const char* typeName, uint16_t id, uint16_t language,
                    const unsigned char* payload, size_t payloadSize, std::vector<unsigned char>* out,
                    std::string* error);

// The PE checksum of the image, the 4 bytes at `checksumOffset` taken as 0.
uint32_t ComputePeChecksum(const unsigned char* image, size_t size, size_t checksumOffset);

// The same, over an image that goes by in pieces (with its checksum field 0).
struct PeChecksum {
    uint64_t sum;
    uint64_t length;
    int pending;  // a byte waiting for its partner, or -1
};
void StartPeChecksum(PeChecksum* sum);
void AddPeChecksum(PeChecksum* sum, const unsigned char* bytes, size_t count);
uint32_t FinishPeChecksum(const PeChecksum* sum);

// File offset of the CheckSum field, or 0 when the image has no valid headers.
size_t PeChecksumOffset(const unsigned char* image, size_t size);
