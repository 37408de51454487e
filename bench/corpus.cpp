#include "corpus.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// ---- files found on the machine ----

typedef bool (*NameFilter)(const fs::path& path);

bool EndsWith(const std::string& s, const char* tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool IsExecutableName(const fs::path& p)
{
    std::string n = p.filename().string();
    return p.parent_path().filename() == "bin" || n.find(".so") != std::string::npos;
}

bool IsTextName(const fs::path& p)
{
    std::string n = p.filename().string();
    static const char* skip[] = {".gz", ".xz", ".bz2", ".zip", ".png", ".jpg", ".gif", ".pdf", ".svgz", ".ico"};
    for (const char* s : skip)
        if (EndsWith(n, s))
            return false;
    return true;
}

bool IsMediaName(const fs::path& p)
{
    std::string n = p.filename().string();
    static const char* keep[] = {".gz", ".xz", ".bz2", ".png", ".jpg", ".jpeg", ".ttf", ".otf", ".zip", ".jar"};
    for (const char* s : keep)
        if (EndsWith(n, s))
            return true;
    return false;
}

// Regular files under the roots that pass the filter, in sorted order (the walk's own order depends on the disk).
std::vector<fs::path> ListFiles(const std::vector<const char*>& roots, NameFilter filter, uintmax_t minSize,
                                size_t maxListed)
{
    std::vector<fs::path> found;
    for (const char* root : roots) {
        std::error_code ec;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end && found.size() < maxListed; it.increment(ec)) {
            std::error_code sec;
            if (!it->is_regular_file(sec) || it->is_symlink(sec))
                continue;
            if (it->file_size(sec) < minSize || sec || !filter(it->path()))
                continue;
            found.push_back(it->path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<unsigned char> ReadHead(const fs::path& path, size_t cap)
{
    std::vector<unsigned char> data(cap);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(data.data()), (std::streamsize)cap);
    data.resize(in ? cap : (size_t)in.gcount());
    return data;
}

void TakeFiles(std::vector<CorpusFile>& out, const char* kind, std::vector<fs::path> files, size_t budget,
               size_t perFileCap, unsigned seed)
{
    std::mt19937 rng(seed);
    for (size_t k = files.size(); k > 1; --k)  // own shuffle: the same order with every standard library
        std::swap(files[k - 1], files[rng() % k]);
    size_t taken = 0;
    for (const fs::path& p : files) {
        if (taken >= budget)
            break;
        std::vector<unsigned char> data = ReadHead(p, std::min(perFileCap, budget - taken));
        if (data.empty())
            continue;
        taken += data.size();
        out.push_back(CorpusFile{kind, p.string(), std::move(data)});
    }
}

// ---- generated game-like data ----

struct Rng {
    uint32_t state;
    uint32_t Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

void PutLe16(std::vector<unsigned char>& b, unsigned v)
{
    b.push_back((unsigned char)v);
    b.push_back((unsigned char)(v >> 8));
}

void PutLe32(std::vector<unsigned char>& b, uint32_t v)
{
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}

// A 24-bit picture: gradient sky, flat shapes, a little sensor noise in the low bits.
std::vector<unsigned char> Picture(unsigned width, unsigned height, Rng& rng)
{
    std::vector<unsigned char> b;
    b.reserve(54 + width * height * 3);
    b.push_back('B'), b.push_back('M');
    PutLe32(b, 54 + width * height * 3), PutLe32(b, 0), PutLe32(b, 54), PutLe32(b, 40);
    PutLe32(b, width), PutLe32(b, height), PutLe16(b, 1), PutLe16(b, 24);
    for (int k = 0; k < 6; ++k)
        PutLe32(b, 0);
    struct Box {
        unsigned x, y, w, h;
        unsigned char r, g, bl;
    } boxes[12];
    for (Box& box : boxes)
        box = Box{rng.Next() % width, rng.Next() % height, 8 + rng.Next() % 80, 8 + rng.Next() % 60,
                  (unsigned char)rng.Next(), (unsigned char)rng.Next(), (unsigned char)rng.Next()};
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            unsigned char r = (unsigned char)(40 + y * 120 / height), g = (unsigned char)(90 + y * 100 / height),
                          bl = (unsigned char)(200 - x * 40 / width);
            for (const Box& box : boxes)
                if (x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + box.h)
                    r = box.r, g = box.g, bl = box.bl;
            unsigned noise = rng.Next();
            b.push_back((unsigned char)(bl ^ (noise & 1)));
            b.push_back((unsigned char)(g ^ ((noise >> 1) & 1)));
            b.push_back((unsigned char)(r ^ ((noise >> 2) & 3)));
        }
    }
    return b;
}

// An 8-bit map drawn from a small tile set, as old game backgrounds are.
std::vector<unsigned char> TileMap(unsigned tilesX, unsigned tilesY, Rng& rng)
{
    const unsigned tile = 16, tileCount = 24;
    std::vector<unsigned char> tiles(tileCount * tile * tile);
    for (unsigned t = 0; t < tileCount; ++t)
        for (unsigned k = 0; k < tile * tile; ++k)
            tiles[t * tile * tile + k] = (unsigned char)((t * 9 + (k / tile) / 4 + ((k % tile) > 8 ? 3 : 0) +
                                                          ((rng.Next() % 11) == 0 ? rng.Next() % 4 : 0)) & 0xFF);
    std::vector<unsigned> map(tilesX * tilesY);
    for (unsigned& m : map)
        m = (rng.Next() % 4 == 0) ? rng.Next() % tileCount : 0;
    std::vector<unsigned char> b;
    for (int k = 0; k < 256; ++k)  // palette
        PutLe32(b, ((unsigned)k * 0x010203u) & 0xFFFFFF);
    for (unsigned ty = 0; ty < tilesY; ++ty)
        for (unsigned row = 0; row < tile; ++row)
            for (unsigned tx = 0; tx < tilesX; ++tx) {
                const unsigned char* src = &tiles[(map[ty * tilesX + tx] * tile + row) * tile];
                b.insert(b.end(), src, src + tile);
            }
    return b;
}

const double Pi = 3.14159265358979323846;

// 16-bit stereo sound: a few notes with envelopes and a little noise.
std::vector<unsigned char> Sound(unsigned samples, Rng& rng)
{
    std::vector<unsigned char> b;
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    PutLe32(b, 36 + samples * 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLe32(b, 16), PutLe16(b, 1), PutLe16(b, 2), PutLe32(b, 22050), PutLe32(b, 22050 * 4), PutLe16(b, 4),
        PutLe16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    PutLe32(b, samples * 4);
    double f1 = 220 + rng.Next() % 440, f2 = f1 * 1.5;
    for (unsigned i = 0; i < samples; ++i) {
        if (i % 11025 == 0)
            f1 = 110 + rng.Next() % 660, f2 = f1 * (rng.Next() % 2 ? 1.25 : 1.5);
        double t = i / 22050.0, env = std::exp(-3.0 * ((i % 11025) / 11025.0));
        double v = env * (6000 * std::sin(2 * Pi * f1 * t) + 3000 * std::sin(2 * Pi * f2 * t));
        int left = (int)v + (int)(rng.Next() % 64) - 32, right = (int)(v * 0.8) + (int)(rng.Next() % 64) - 32;
        PutLe16(b, (unsigned)(left & 0xFFFF));
        PutLe16(b, (unsigned)(right & 0xFFFF));
    }
    return b;
}

// Fixed-size records: ids, stats, flags and zero-padded names, as in a game's item and monster tables.
std::vector<unsigned char> Records(unsigned count, Rng& rng)
{
    static const char* names[] = {"Slime", "Goblin", "Bat", "Knight", "Dragon", "Potion", "Ether", "Sword",
                                  "Shield", "Helmet", "Ring", "Bow", "Arrow", "Wolf", "Golem", "Wizard"};
    std::vector<unsigned char> b;
    for (unsigned i = 0; i < count; ++i) {
        PutLe32(b, 1000 + i);
        PutLe16(b, 10 + rng.Next() % 990), PutLe16(b, rng.Next() % 200), PutLe16(b, rng.Next() % 100),
            PutLe16(b, rng.Next() % 100);
        PutLe32(b, (rng.Next() % 8 == 0) ? rng.Next() : 0x00000001u << (rng.Next() % 6));
        char name[24] = {0};
        snprintf(name, sizeof name, "%s%s%u", names[rng.Next() % 16], rng.Next() % 3 ? "" : " Lv", i % 40);
        b.insert(b.end(), name, name + sizeof name);
        for (int k = 0; k < 8; ++k)
            b.push_back((unsigned char)(k < 3 ? rng.Next() % 16 : 0));
    }
    return b;
}

}  // namespace

std::vector<CorpusFile> BuildGameCorpus(size_t bytes)
{
    std::vector<CorpusFile> out;
    Rng rng{0x9E3779B9u};
    size_t taken = 0;
    for (unsigned round = 0; taken < bytes; ++round) {
        std::vector<unsigned char> data;
        std::string name;
        switch (round % 4) {
        case 0: data = Picture(320 + 64 * (round % 3), 240, rng), name = "picture"; break;
        case 1: data = TileMap(40, 30, rng), name = "tilemap"; break;
        case 2: data = Sound(22050 * 3, rng), name = "sound"; break;
        default: data = Records(4000 + 500 * (round % 5), rng), name = "records"; break;
        }
        if (data.size() > bytes - taken)
            data.resize(bytes - taken);
        taken += data.size();
        out.push_back(CorpusFile{"game", name + std::to_string(round), std::move(data)});
    }
    return out;
}

std::vector<CorpusFile> BuildMixedCorpus(size_t bytesPerKind)
{
    std::vector<CorpusFile> out;
    TakeFiles(out, "exe", ListFiles({"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"}, IsExecutableName, 16384, 20000),
              bytesPerKind, 1 << 20, 1);
    TakeFiles(out, "text", ListFiles({"/usr/share/doc", "/usr/include", "/usr/share/common-licenses"}, IsTextName, 2048, 40000),
              bytesPerKind, 256 << 10, 2);
    TakeFiles(out, "media", ListFiles({"/usr/share"}, IsMediaName, 4096, 40000), bytesPerKind, 512 << 10, 3);
    std::vector<CorpusFile> game = BuildGameCorpus(bytesPerKind);
    out.insert(out.end(), game.begin(), game.end());
    return out;
}
