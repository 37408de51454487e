// Reading and rewriting the resources of real mingw-linked images (pe_fixtures/, see make_fixtures.sh), and
// refusing damaged ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pe_resources.h"

namespace {

typedef std::vector<unsigned char> Bytes;

std::string FixturePath(const char* name)
{
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/') + 1) + "pe_fixtures/" + name;
}

Bytes ReadFixture(const char* name)
{
    Bytes bytes;
    FILE* file = fopen(FixturePath(name).c_str(), "rb");
    if (!file)
        return bytes;
    int c;
    while ((c = fgetc(file)) != EOF)
        bytes.push_back((unsigned char)c);
    fclose(file);
    return bytes;
}

uint32_t U32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
uint16_t U16(const Bytes& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }
void SetU32(Bytes* b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = (unsigned char)(v >> (8 * i));
}

Bytes Payload(size_t size, unsigned seed)
{
    Bytes p(size);
    std::mt19937 rng(seed);
    for (auto& c : p)
        c = (unsigned char)rng();
    return p;
}

std::string Key(const PeResourceKey& key)
{
    if (!key.isName)
        return "#" + std::to_string(key.id);
    std::string s;
    for (char16_t c : key.name)
        s += (char)c;
    return s;
}

std::string Describe(const PeResource& r)
{
    return Key(r.type) + "/" + Key(r.name) + "/" + std::to_string(r.language);
}

// Headers as the checks below need them.
struct Image {
    size_t opt;
    int pe32Plus;
    uint32_t sectionAlignment, fileAlignment, sizeOfImage, sizeOfHeaders;
    size_t dirs;
    struct Section {
        std::string name;
        uint32_t vsize, va, rawSize, raw, flags;
    };
    std::vector<Section> sections;
};

Image Parse(const Bytes& b)
{
    Image im;
    size_t pe = U32(b, 0x3C);
    int count = U16(b, pe + 6);
    size_t optSize = U16(b, pe + 20);
    im.opt = pe + 24;
    im.pe32Plus = U16(b, im.opt) == 0x20B;
    im.sectionAlignment = U32(b, im.opt + 32);
    im.fileAlignment = U32(b, im.opt + 36);
    im.sizeOfImage = U32(b, im.opt + 56);
    im.sizeOfHeaders = U32(b, im.opt + 60);
    im.dirs = im.opt + (im.pe32Plus ? 112 : 96);
    for (int i = 0; i < count; ++i) {
        size_t h = im.opt + optSize + i * 40;
        Image::Section s;
        s.name.assign((const char*)&b[h], strnlen((const char*)&b[h], 8));
        s.vsize = U32(b, h + 8);
        s.va = U32(b, h + 12);
        s.rawSize = U32(b, h + 16);
        s.raw = U32(b, h + 20);
        s.flags = U32(b, h + 36);
        im.sections.push_back(s);
    }
    return im;
}

const Image::Section* FindSection(const Image& im, const char* name)
{
    for (const auto& s : im.sections)
        if (s.name == name)
            return &s;
    return nullptr;
}

uint32_t Align(uint64_t v, uint32_t a) { return (uint32_t)((v + a - 1) / a * a); }

// Everything the loader and the other tools rely on: contiguous aligned sections inside the file, SizeOfImage,
// the resource directory on the resource section, and a checksum that matches.
void ExpectSoundLayout(const Bytes& b)
{
    Image im = Parse(b);
    ASSERT_FALSE(im.sections.empty());
    uint32_t expectVa = im.sections[0].va;
    uint64_t rawEnd = im.sizeOfHeaders;
    for (const auto& s : im.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.va, expectVa) << "sections must follow each other in memory";
        expectVa = Align((uint64_t)s.va + (s.vsize ? s.vsize : s.rawSize), im.sectionAlignment);
        if (s.rawSize) {
            EXPECT_EQ(s.raw % im.fileAlignment, 0u);
            EXPECT_EQ(s.rawSize % im.fileAlignment, 0u);
            EXPECT_GE(s.raw, rawEnd) << "raw data overlaps";
            EXPECT_LE((uint64_t)s.raw + s.rawSize, b.size());
            rawEnd = (uint64_t)s.raw + s.rawSize;
        }
    }
    EXPECT_EQ(im.sizeOfImage, expectVa);
    size_t sumAt = PeChecksumOffset(b.data(), b.size());
    ASSERT_NE(sumAt, 0u);
    EXPECT_EQ(U32(b, sumAt), ComputePeChecksum(b.data(), b.size(), sumAt));
    uint32_t resRva = U32(b, im.dirs + 16), resSize = U32(b, im.dirs + 20);
    int holding = 0;
    for (const auto& s : im.sections)
        if (resRva == s.va && resSize <= s.vsize)
            ++holding;
    EXPECT_EQ(holding, 1) << "the resource directory must open a section";
}

Bytes Rewrite(const Bytes& stub, const Bytes& payload, std::string* error = nullptr)
{
    Bytes out;
    std::string ignored;
    EXPECT_EQ(WritePeResource(stub.data(), stub.size(), "UPDATE", 102, 1041, payload.data(), payload.size(), &out,
                              error ? error : &ignored),
              1)
        << (error ? *error : ignored);
    return out;
}

std::vector<PeResource> List(const Bytes& b)
{
    std::vector<PeResource> all;
    std::string error;
    EXPECT_EQ(ListPeResources(b.data(), b.size(), &all, &error), 1) << error;
    return all;
}

int IsPayloadSlot(const PeResource& r)
{
    return r.type.isName && Key(r.type) == "UPDATE" && !r.name.isName && r.name.id == 102;
}

// Every resource of `before` other than UPDATE/102 is in `after` with the same name, language, code page and
// bytes; UPDATE/102 exists once, in 1041, holding `payload`.
void ExpectResourcesCarried(const Bytes& before, const Bytes& after, const Bytes& payload)
{
    std::vector<PeResource> old = List(before), now = List(after);
    size_t matched = 0;
    for (const PeResource& r : old) {
        if (IsPayloadSlot(r))
            continue;
        SCOPED_TRACE(Describe(r));
        int found = 0;
        for (const PeResource& n : now) {
            if (Describe(n) != Describe(r))
                continue;
            ++found;
            EXPECT_EQ(n.codePage, r.codePage);
            ASSERT_EQ(n.size, r.size);
            EXPECT_EQ(0, memcmp(&after[n.offset], &before[r.offset], r.size));
        }
        EXPECT_EQ(found, 1);
        ++matched;
    }
    int slots = 0;
    for (const PeResource& n : now)
        if (IsPayloadSlot(n)) {
            ++slots;
            EXPECT_EQ(n.language, 1041);
            ASSERT_EQ(n.size, payload.size());
            EXPECT_TRUE(payload.empty() || memcmp(&after[n.offset], payload.data(), payload.size()) == 0);
        }
    EXPECT_EQ(slots, 1);
    EXPECT_EQ(now.size(), matched + 1);
    // Directory order, which the loader's binary search needs: named before numbered, each ascending.
    auto rank = [](const PeResource& r) {
        auto key = [](const PeResourceKey& k) { return std::make_pair(k.isName ? 0 : 1, k.isName ? k.name : std::u16string(1, (char16_t)k.id)); };
        return std::make_tuple(key(r.type), key(r.name), r.language);
    };
    for (size_t i = 1; i < now.size(); ++i)
        EXPECT_LT(rank(now[i - 1]), rank(now[i])) << Describe(now[i - 1]) << " before " << Describe(now[i]);

    size_t at = 0, length = 99;
    std::string error;
    ASSERT_EQ(FindPeResource(after.data(), after.size(), "update", 102, &at, &length, &error), 1) << error;
    ASSERT_EQ(length, payload.size());
    EXPECT_TRUE(payload.empty() || memcmp(&after[at], payload.data(), length) == 0);
}

// Sections that hold code and data the program addresses stay where they were, byte for byte; .reloc keeps
// its bytes wherever it goes and the base relocation directory follows it.
void ExpectProgramUntouched(const Bytes& before, const Bytes& after)
{
    Image a = Parse(before), b = Parse(after);
    for (const auto& s : a.sections) {
        if (s.name == ".rsrc")
            continue;
        SCOPED_TRACE(s.name);
        const Image::Section* n = FindSection(b, s.name.c_str());
        ASSERT_NE(n, nullptr);
        ASSERT_EQ(n->rawSize, s.rawSize);
        EXPECT_EQ(0, memcmp(&after[n->raw], &before[s.raw], s.rawSize));
        if (s.name == ".reloc") {
            EXPECT_EQ(U32(after, b.dirs + 5 * 8), n->va);
            EXPECT_EQ(U32(after, b.dirs + 5 * 8 + 4), U32(before, a.dirs + 5 * 8 + 4));
        } else {
            EXPECT_EQ(n->va, s.va);
        }
    }
    // Headers other than the fields a rewrite owns are unchanged: the entry point and image base, for one.
    EXPECT_EQ(U32(after, b.opt + 16), U32(before, a.opt + 16));
    EXPECT_EQ(U32(after, b.opt + 28), U32(before, a.opt + 28));
}

TEST(PeResources, ReadsTheTreeOfALinkedImage)
{
    Bytes stub = ReadFixture("stub_update.exe");
    ASSERT_FALSE(stub.empty()) << "run tests/host/pe_fixtures/make_fixtures.sh";
    std::vector<PeResource> all = List(stub);
    std::vector<std::string> names;
    for (const PeResource& r : all)
        names.push_back(Describe(r));
    // Named types first (sorted), then integer types ascending: the order the loader's search relies on.
    std::vector<std::string> expected = {"PUBLISHER/NOTES/1041", "UPDATE/#102/1033", "UPDATE/#103/1033",
                                         "#3/#1/1041",           "#5/#100/1041",     "#5/#101/1041",
                                         "#6/#1/1041",           "#14/#1/1041",      "#16/#1/1041",
                                         "#24/#1/1041"};
    EXPECT_EQ(names, expected);

    size_t at = 0, length = 0;
    std::string error;
    ASSERT_EQ(FindPeResource(stub.data(), stub.size(), "UPDATE", 102, &at, &length, &error), 1) << error;
    std::string old;
    for (int i = 0; i < 50; ++i)
        old += "OLD PAYLOAD ";
    ASSERT_EQ(length, old.size());
    EXPECT_EQ(0, memcmp(&stub[at], old.data(), length));
    EXPECT_EQ(FindPeResource(stub.data(), stub.size(), "UPDATE", 104, &at, &length, &error), 0);
    EXPECT_FALSE(error.empty());
}

TEST(PeResources, ChecksumMatchesTheLinker)
{
    for (const char* name : {"stub_plain.exe", "stub_update.exe", "stub_nores.exe", "stub64.exe"}) {
        SCOPED_TRACE(name);
        Bytes b = ReadFixture(name);
        size_t at = PeChecksumOffset(b.data(), b.size());
        ASSERT_NE(at, 0u);
        ASSERT_NE(U32(b, at), 0u);
        EXPECT_EQ(ComputePeChecksum(b.data(), b.size(), at), U32(b, at));
    }
}

struct RewriteCase {
    const char* stub;
    size_t payloadSize;
};

class PeRewrite : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(PeRewrite, CarriesThePayloadAndEverythingElse)
{
    Bytes stub = ReadFixture(GetParam().stub);
    ASSERT_FALSE(stub.empty());
    Bytes payload = Payload(GetParam().payloadSize, (unsigned)GetParam().payloadSize);
    Bytes out = Rewrite(stub, payload);
    ASSERT_FALSE(out.empty());
    ExpectSoundLayout(out);
    ExpectResourcesCarried(stub, out, payload);
    ExpectProgramUntouched(stub, out);

    // A rewritten image is a stub like any other: doing it again changes nothing, and a new payload replaces
    // the old one instead of piling up.
    EXPECT_TRUE(Rewrite(out, payload) == out);
    Bytes smaller = Payload(7, 1);
    Bytes again = Rewrite(out, smaller);
    ExpectSoundLayout(again);
    ExpectResourcesCarried(out, again, smaller);
    EXPECT_LT(again.size(), stub.size() + 4096);
}

INSTANTIATE_TEST_SUITE_P(Stubs, PeRewrite,
                         ::testing::Values(RewriteCase{"stub_plain.exe", 0}, RewriteCase{"stub_plain.exe", 5},
                                           RewriteCase{"stub_plain.exe", 30u << 20},
                                           RewriteCase{"stub_update.exe", 0}, RewriteCase{"stub_update.exe", 3},
                                           RewriteCase{"stub_update.exe", 70001},
                                           RewriteCase{"stub_nores.exe", 0}, RewriteCase{"stub_nores.exe", 4096},
                                           RewriteCase{"stub64.exe", 9}, RewriteCase{"stub64.exe", 100000}));

// The resource section starts on a page of the file, so every byte of it (the payload above all) lies at a file
// offset congruent to its address modulo 4096: a loader maps it instead of reading the whole image in.
TEST(PeResources, ResourcesLieWhereALoaderCanMapThem)
{
    for (const char* name : {"stub_plain.exe", "stub_update.exe", "stub_nores.exe", "stub64.exe"}) {
        SCOPED_TRACE(name);
        Bytes stub = ReadFixture(name);
        Bytes payload = Payload(300000, 6);
        Bytes out = Rewrite(stub, payload);
        Image im = Parse(out);
        uint32_t resRva = U32(out, im.dirs + 16);
        const Image::Section* rsrc = nullptr;
        for (const auto& s : im.sections)
            if (s.va == resRva)
                rsrc = &s;
        ASSERT_NE(rsrc, nullptr);
        EXPECT_EQ(rsrc->raw % 4096, 0u);
        EXPECT_EQ(im.fileAlignment, Parse(stub).fileAlignment) << "the headers' alignment stays";
        size_t at = 0, length = 0;
        std::string error;
        ASSERT_TRUE(FindPeResource(out.data(), out.size(), "UPDATE", 102, &at, &length, &error)) << error;
        std::vector<PeResource> all = List(out);
        for (const PeResource& r : all) {
            if (r.size == 0)
                continue;
            uint64_t rva = rsrc->va + (r.offset - rsrc->raw);
            EXPECT_EQ(r.offset % 4096, rva % 4096) << Describe(r);
        }
    }
}

TEST(PeResources, MovesRelocationsBehindAGrownResourceSection)
{
    Bytes stub = ReadFixture("stub_plain.exe");
    Bytes out = Rewrite(stub, Payload(1 << 20, 3));
    Image a = Parse(stub), b = Parse(out);
    const Image::Section *rsrc = FindSection(b, ".rsrc"), *reloc = FindSection(b, ".reloc");
    ASSERT_TRUE(rsrc && reloc);
    EXPECT_EQ(rsrc->va, FindSection(a, ".rsrc")->va) << "rebuilt where it stood";
    EXPECT_GE(reloc->va, FindSection(a, ".reloc")->va + (1u << 20));
    EXPECT_EQ(b.sections.size(), a.sections.size());
    EXPECT_EQ(b.sections.back().name, ".reloc");
    // The loader-side fields a grown image must show.
    EXPECT_GE(U32(out, b.opt + 8), U32(stub, a.opt + 8) + (1u << 20)) << "SizeOfInitializedData";
}

TEST(PeResources, AddsASectionWhenAFixedSectionFollowsTheResources)
{
    Bytes stub = ReadFixture("stub_plain.exe");
    Image a = Parse(stub);
    // Make .reloc look like ordinary data that code might address: it may not move any more.
    size_t pe = U32(stub, 0x3C);
    size_t table = pe + 24 + U16(stub, pe + 20);
    for (size_t i = 0; i < a.sections.size(); ++i)
        if (a.sections[i].name == ".reloc")
            SetU32(&stub, table + i * 40 + 36, a.sections[i].flags & ~0x02000000u);
    Bytes payload = Payload(5000, 9);
    Bytes out = Rewrite(stub, payload);
    Image b = Parse(out);
    ASSERT_EQ(b.sections.size(), a.sections.size() + 1);
    EXPECT_EQ(b.sections.back().name, ".rsrc");
    EXPECT_EQ(FindSection(b, ".reloc")->va, FindSection(a, ".reloc")->va);
    ExpectSoundLayout(out);
    ExpectResourcesCarried(stub, out, payload);
    ExpectProgramUntouched(stub, out);
}

TEST(PeResources, DropsASignatureThatCouldNoLongerMatch)
{
    Bytes stub = ReadFixture("stub_plain.exe");
    Image a = Parse(stub);
    size_t certAt = stub.size();
    Bytes cert(512, 0xC5);
    stub.insert(stub.end(), cert.begin(), cert.end());
    SetU32(&stub, a.dirs + 4 * 8, (uint32_t)certAt);
    SetU32(&stub, a.dirs + 4 * 8 + 4, (uint32_t)cert.size());
    Bytes out = Rewrite(stub, Payload(10, 2));
    Image b = Parse(out);
    EXPECT_EQ(U32(out, b.dirs + 4 * 8), 0u);
    EXPECT_EQ(U32(out, b.dirs + 4 * 8 + 4), 0u);
    uint64_t rawEnd = 0;
    for (const auto& s : b.sections)
        rawEnd = std::max<uint64_t>(rawEnd, (uint64_t)s.raw + s.rawSize);
    EXPECT_EQ(out.size(), rawEnd) << "the signature's bytes are gone";
}

TEST(PeResources, KeepsBytesBehindTheLastSection)
{
    Bytes stub = ReadFixture("stub_plain.exe");
    const char tail[] = "trailing data a tool appended";
    stub.insert(stub.end(), tail, tail + sizeof tail);
    Bytes out = Rewrite(stub, Payload(100000, 4));
    ASSERT_GE(out.size(), sizeof tail);
    EXPECT_EQ(0, memcmp(&out[out.size() - sizeof tail], tail, sizeof tail));
    ExpectSoundLayout(out);
}

struct Damage {
    const char* what;
    void (*apply)(Bytes* b, const Image& im, size_t resOffset);
};

// File offset of the resource directory of stub_update.exe.
size_t ResourceOffset(const Bytes& b, const Image& im)
{
    uint32_t rva = U32(b, im.dirs + 16);
    for (const auto& s : im.sections)
        if (rva >= s.va && rva < s.va + s.rawSize)
            return s.raw + (rva - s.va);
    return 0;
}

const Damage Damages[] = {
    {"no MZ", [](Bytes* b, const Image&, size_t) { (*b)[0] = 'X'; }},
    {"PE header past the end", [](Bytes* b, const Image&, size_t) { SetU32(b, 0x3C, (uint32_t)b->size() - 8); }},
    {"huge PE offset", [](Bytes* b, const Image&, size_t) { SetU32(b, 0x3C, 0xFFFFFFF0u); }},
    {"unknown optional header", [](Bytes* b, const Image& im, size_t) { (*b)[im.opt] = 0x77; }},
    {"no sections", [](Bytes* b, const Image& im, size_t) { (*b)[im.opt - 18] = 0; (*b)[im.opt - 17] = 0; }},
    {"too many sections", [](Bytes* b, const Image& im, size_t) { (*b)[im.opt - 18] = 200; }},
    {"file alignment 0", [](Bytes* b, const Image& im, size_t) { SetU32(b, im.opt + 36, 0); }},
    {"file alignment 3", [](Bytes* b, const Image& im, size_t) { SetU32(b, im.opt + 36, 3); }},
    {"section past the end", [](Bytes* b, const Image& im, size_t) { b->resize(im.sections.back().raw + 8); }},
    {"resource directory outside every section",
     [](Bytes* b, const Image& im, size_t) { SetU32(b, im.dirs + 16, 0x7FFF0000u); }},
    {"root entries past the section",
     [](Bytes* b, const Image&, size_t res) { (*b)[res + 14] = 0xFF; (*b)[res + 15] = 0x7F; }},
    {"type entry not a directory",
     [](Bytes* b, const Image&, size_t res) { SetU32(b, res + 16 + 4, U32(*b, res + 16 + 4) & 0x7FFFFFFFu); }},
    {"subdirectory outside the section",
     [](Bytes* b, const Image&, size_t res) { SetU32(b, res + 16 + 4, 0x80000000u | 0x00FFFFF0u); }},
    {"name outside the section",
     [](Bytes* b, const Image&, size_t res) { SetU32(b, res + 16, 0x80000000u | 0x00FFFFF0u); }},
    {"name longer than the section",
     [](Bytes* b, const Image&, size_t res) {
         size_t name = res + (U32(*b, res + 16) & 0x7FFFFFFFu);
         (*b)[name] = 0xFF;
         (*b)[name + 1] = 0xFF;
     }},
    {"language entry leading to a directory",
     [](Bytes* b, const Image&, size_t res) {
         size_t typeDir = res + (U32(*b, res + 16 + 4) & 0x7FFFFFFFu);
         size_t nameDir = res + (U32(*b, typeDir + 16 + 4) & 0x7FFFFFFFu);
         SetU32(b, nameDir + 16 + 4, 0x80000000u);
     }},
    {"data outside the file",
     [](Bytes* b, const Image&, size_t res) {
         size_t typeDir = res + (U32(*b, res + 16 + 4) & 0x7FFFFFFFu);
         size_t nameDir = res + (U32(*b, typeDir + 16 + 4) & 0x7FFFFFFFu);
         size_t entry = res + U32(*b, nameDir + 16 + 4);
         SetU32(b, entry, 0x00100000u);
     }},
    {"data size past its section",
     [](Bytes* b, const Image&, size_t res) {
         size_t typeDir = res + (U32(*b, res + 16 + 4) & 0x7FFFFFFFu);
         size_t nameDir = res + (U32(*b, typeDir + 16 + 4) & 0x7FFFFFFFu);
         size_t entry = res + U32(*b, nameDir + 16 + 4);
         SetU32(b, entry + 4, 0x7FFFFFFFu);
     }},
};

TEST(PeResources, RefusesDamagedImagesWithAReason)
{
    Bytes good = ReadFixture("stub_update.exe");
    Image im = Parse(good);
    size_t res = ResourceOffset(good, im);
    ASSERT_NE(res, 0u);
    for (const Damage& d : Damages) {
        SCOPED_TRACE(d.what);
        Bytes b = good;
        d.apply(&b, im, res);
        Bytes out;
        std::string error;
        Bytes payload = Payload(64, 5);
        EXPECT_EQ(WritePeResource(b.data(), b.size(), "UPDATE", 102, 1041, payload.data(), payload.size(), &out,
                                  &error),
                  0);
        EXPECT_FALSE(error.empty());
        std::vector<PeResource> all;
        error.clear();
        EXPECT_EQ(ListPeResources(b.data(), b.size(), &all, &error), 0);
        EXPECT_FALSE(error.empty());
    }
}

// Every prefix and a few thousand random corruptions: each either works or fails cleanly (the sanitizer build
// turns any stray read into a failure), and whatever is written still reads back.
TEST(PeResources, SurvivesTruncationAndCorruption)
{
    Bytes good = ReadFixture("stub_update.exe");
    Bytes payload = Payload(300, 8);
    for (size_t n = 0; n <= good.size(); n += (n < 1024 ? 1 : 61)) {
        Bytes out;
        std::string error;
        std::vector<PeResource> all;
        ListPeResources(good.data(), n, &all, &error);
        if (WritePeResource(good.data(), n, "UPDATE", 102, 1041, payload.data(), payload.size(), &out, &error)) {
            size_t at, length;
            ASSERT_EQ(FindPeResource(out.data(), out.size(), "UPDATE", 102, &at, &length, &error), 1) << n;
            ASSERT_EQ(length, payload.size());
        }
    }
    Image im = Parse(good);
    size_t res = ResourceOffset(good, im);
    std::mt19937 rng(1041);
    int written = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes b = good;
        for (int k = 0; k < 4; ++k) {
            // Mostly the headers and the resource tree, where the offsets are.
            size_t at = (rng() & 1) ? rng() % 0x400 : res + rng() % 0x300;
            b[at] = (unsigned char)rng();
        }
        Bytes out;
        std::string error;
        if (WritePeResource(b.data(), b.size(), "UPDATE", 102, 1041, payload.data(), payload.size(), &out,
                            &error)) {
            ++written;
            size_t at, length;
            ASSERT_EQ(FindPeResource(out.data(), out.size(), "UPDATE", 102, &at, &length, &error), 1) << round;
            ASSERT_EQ(length, payload.size());
            EXPECT_EQ(0, memcmp(&out[at], payload.data(), length));
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_GT(written, 0);
}

TEST(PeResources, RecognisesPeImages)
{
    Bytes stub = ReadFixture("stub64.exe");
    EXPECT_EQ(LooksLikePeImage(stub.data(), stub.size()), 1);
    const unsigned char archive[16] = {'F', 'A', '2', 0};
    EXPECT_EQ(LooksLikePeImage(archive, sizeof archive), 0);
    Bytes dosOnly(128, 0);
    dosOnly[0] = 'M';
    dosOnly[1] = 'Z';
    dosOnly[0x3C] = 64;
    EXPECT_EQ(LooksLikePeImage(dosOnly.data(), dosOnly.size()), 0);
}

}  // namespace
