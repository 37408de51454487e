// Delta entries: a header built from the input's first bytes (or the input's own, raw) over a body of fuzzed
// bytes in either layout, applied in small pieces to an old file that traps on any read outside it, from memory and from a
// source. Both must agree with each other and with a plain whole-buffer interpreter of the commands.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/archive_format.h"
#include "archive/block_decoder.h"
#include "archive/delta_decoder.h"
#include "archive/entry_stream.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Old {
    Bytes bytes;
};

int ReadOld(void* context, uint64_t offset, unsigned char* out, size_t count)
{
    const Old* old = (const Old*)context;
    if (count == 0 || offset > old->bytes.size() || old->bytes.size() - offset < count)
        __builtin_trap();
    memcpy(out, old->bytes.data() + offset, count);
    return 1;
}

struct Collected {
    Bytes bytes;
    uint32_t limit;
};

int Append(void* context, const unsigned char* bytes, size_t count)
{
    Collected* c = (Collected*)context;
    if (count == 0 || c->bytes.size() + count > c->limit)
        __builtin_trap();
    c->bytes.insert(c->bytes.end(), bytes, bytes + count);
    return 1;
}

int Fetch(void* context, uint32_t offset, unsigned char* bytes, size_t count)
{
    const Bytes* stored = (const Bytes*)context;
    if (offset > stored->size() || stored->size() - offset < count)
        __builtin_trap();
    memcpy(bytes, stored->data() + offset, count);
    return 1;
}

// A varint of `body` at `*i`; 0 when cut or longer than 5 bytes.
int ReadVarint(const Bytes& body, size_t* i, uint64_t* v)
{
    *v = 0;
    for (unsigned n = 0; n < 5; n++) {
        if (*i >= body.size())
            return 0;
        unsigned char b = body[(*i)++];
        *v |= (uint64_t)(b & 0x7F) << (7 * n);
        if (!(b & 0x80))
            return 1;
    }
    return 0;
}

// Layout 1 read as the format describes it, over the whole decoded body: 1 and the file, or 0.
int InterpretBlocks(const Bytes& body, const Bytes& old, uint32_t newSize, Bytes* out)
{
    size_t i = 0;
    uint64_t copyEnd = 0;
    struct Command {
        uint64_t start, copy, add;
        int difference;
    };
    while (i < body.size()) {
        uint64_t o, k;
        if (!ReadVarint(body, &i, &o) || !ReadVarint(body, &i, &k) || o == 0 || o > DeltaBlockOutputMost ||
            o > newSize - out->size() || k == 0 || k > DeltaBlockCommandsMost)
            return 0;
        std::vector<Command> commands;
        uint64_t total = 0, differences = 0, fresh = 0;
        for (uint64_t n = 0; n < k; n++) {
            Command c = {0, 0, 0, 0};
            uint64_t value, d;
            if (!ReadVarint(body, &i, &value))
                return 0;
            c.copy = value >> 1;
            c.difference = (int)(value & 1);
            if (c.copy) {
                if (!ReadVarint(body, &i, &d))
                    return 0;
                int64_t start = (int64_t)copyEnd + ((int64_t)(d >> 1) ^ -(int64_t)(d & 1));
                if (start < 0 || (uint64_t)start + c.copy > old.size())
                    return 0;
                c.start = (uint64_t)start;
                copyEnd = c.start + c.copy;
            } else if (c.difference) {
                return 0;
            }
            if (!ReadVarint(body, &i, &c.add) || c.copy + c.add == 0)
                return 0;
            total += c.copy + c.add;
            differences += c.difference ? c.copy : 0;
            fresh += c.add;
            if (total > o)
                return 0;
            commands.push_back(c);
        }
        if (total != o || body.size() - i < differences + fresh)
            return 0;
        size_t d = i, f = i + differences;
        for (const Command& c : commands) {
            for (uint64_t n = 0; n < c.copy; n++)
                out->push_back((unsigned char)(old[c.start + n] + (c.difference ? body[d++] : 0)));
            out->insert(out->end(), body.begin() + f, body.begin() + f + c.add);
            f += c.add;
        }
        i = f;
    }
    return out->size() == newSize;
}

// The commands read as the format describes them, over the whole decoded body: 1 and the file, or 0.
int Interpret(const Bytes& body, const Bytes& old, uint32_t newSize, Bytes* out)
{
    size_t i = 0;
    uint64_t copyEnd = 0;
    auto varint = [&](uint64_t* v) { return ReadVarint(body, &i, v); };
    while (i < body.size()) {
        unsigned char tag = body[i++];
        uint64_t n, d;
        if ((tag != 1 && tag != 2) || !varint(&n) || n == 0 || n > newSize - out->size())
            return 0;
        if (tag == 1) {
            if (body.size() - i < n)
                return 0;
            out->insert(out->end(), body.begin() + i, body.begin() + i + n);
            i += n;
        } else {
            if (!varint(&d))
                return 0;
            int64_t start = (int64_t)copyEnd + ((int64_t)(d >> 1) ^ -(int64_t)(d & 1));
            if (start < 0 || (uint64_t)start + n > old.size())
                return 0;
            out->insert(out->end(), old.begin() + start, old.begin() + start + n);
            copyEnd = start + n;
        }
    }
    return out->size() == newSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    uint32_t oldSize = (uint32_t)data[0] | ((uint32_t)(data[1] & 0x1F) << 8);  // up to 8 KiB
    uint32_t newSize = (uint32_t)data[2] | ((uint32_t)(data[3] & 0x3F) << 8);  // up to 16 KiB
    int raw = data[1] >> 7, scrambled = (data[1] >> 6) & 1, hasWhole = (data[1] >> 5) & 1;
    unsigned char layout = (data[5] >> 4) & 1;
    static const unsigned char methods[4] = {EntryStorageStored, EntryStorageCompressed, EntryStorageLzma, 3};
    unsigned char method = methods[data[3] >> 6];
    const EntryPieces pieces = {BlockStepMaxOutput + data[4], 64 + 4 * (size_t)(data[5] & 15)};
    uint32_t bodySize = (uint32_t)data[6] | ((uint32_t)data[7] << 8);
    if (data[5] & 0x80)
        bodySize = (uint32_t)(size - 8);  // the body as given, when stored

    Old old;
    old.bytes.resize(oldSize);
    for (uint32_t i = 0; i < oldSize; i++)
        old.bytes[i] = (unsigned char)(i * 7 + (i >> 8));

    Bytes stored;
    if (raw) {
        stored.assign(data + 8, data + size);
    } else {
        stored.assign(DeltaHeaderSize, 0);
        memcpy(stored.data(), DeltaMark, 4);
        for (int i = 0; i < 4; i++) {
            stored[4 + i] = (unsigned char)(oldSize >> (8 * i));
            stored[44 + i] = (unsigned char)(bodySize >> (8 * i));
        }
        stored[40] = method;
        stored[41] = hasWhole ? DeltaHasWhole : 0;
        stored[42] = layout;
        stored.insert(stored.end(), data + 8, data + size);
    }
    ArchiveEntry entry;
    memset(&entry, 0, sizeof entry);
    entry.storage = EntryStorageDelta;
    entry.scramble = scrambled ? EntryScrambled : 0;
    entry.unpackedSize = newSize;
    entry.storedSize = (uint32_t)stored.size();
    if (scrambled)
        DescrambleEntry(stored.data(), (uint32_t)stored.size());  // so that descrambling gives the input back
    if (!CheckEntryData(&entry, 0, stored.size()))
        return 0;

    OldFileReader reader = {ReadOld, &old};
    EntryStreamResult memoryResult = EntryStreamDamaged;
    Collected fromMemory = {Bytes(), newSize};
    size_t workspaceSize;
    if (DeltaWorkspaceSize(&entry, stored.data(), &workspaceSize)) {
        // Wide LZMA contexts only cost time here (their tables are the LZMA fuzzer's business).
        if (workspaceSize > (2u << 20))
            return 0;
        std::unique_ptr<unsigned char[]> workspace(new unsigned char[workspaceSize]);  // not filled: faster runs
        memoryResult = StreamDeltaEntry(&entry, stored.data(), &reader, workspace.get(), workspaceSize, Append,
                                        &fromMemory);
    }
    Bytes head(stored.begin(), stored.begin() + (stored.size() < 8 ? stored.size() : 8));
    StoredSource source = {Fetch, &stored, head.data()};
    EntryStreamResult sourceResult = EntryStreamDamaged;
    Collected fromSource = {Bytes(), newSize};
    if (DeltaSourceWorkspaceSize(&entry, &source, &pieces, &workspaceSize)) {
        std::unique_ptr<unsigned char[]> workspace(new unsigned char[workspaceSize]);
        sourceResult = StreamDeltaFromSource(&entry, &source, &pieces, &reader, workspace.get(), workspaceSize,
                                             Append, &fromSource);
    }
    if (memoryResult != EntryStreamDone && memoryResult != EntryStreamDamaged)
        __builtin_trap();
    if ((memoryResult == EntryStreamDone) != (sourceResult == EntryStreamDone))
        __builtin_trap();
    if (memoryResult == EntryStreamDone && (fromMemory.bytes != fromSource.bytes || fromMemory.bytes.size() != newSize))
        __builtin_trap();

    // A stored body is its own decoding: the plain interpreter must give the same verdict and bytes.
    DeltaBase base;
    if (ReadDeltaBase(&entry, stored.data(), &base) && base.bodyMethod == EntryMethodStored) {
        Bytes plain(stored);
        if (scrambled)
            DescrambleEntry(plain.data(), (uint32_t)plain.size());
        Bytes body(plain.begin() + DeltaHeaderSize, plain.end());
        Bytes expected;
        int ok = body.size() == base.bodySize && base.oldSize == oldSize &&
                 (base.layout == DeltaLayoutApproximate ? InterpretBlocks(body, old.bytes, newSize, &expected)
                                                        : Interpret(body, old.bytes, newSize, &expected));
        if (ok != (memoryResult == EntryStreamDone) || (ok && expected != fromMemory.bytes))
            __builtin_trap();
    }
    return 0;
}
