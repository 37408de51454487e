#include "byte_sink.h"

#include <cerrno>

#include <cstring>

namespace {

const size_t PieceSize = 1u << 20;

int VectorWrite(void* context, const unsigned char* bytes, size_t count)
{
    std::vector<unsigned char>* out = (std::vector<unsigned char>*)context;
    out->insert(out->end(), bytes, bytes + count);
    return 1;
}

int VectorPatch(void* context, uint64_t offset, const unsigned char* bytes, size_t count)
{
    std::vector<unsigned char>* out = (std::vector<unsigned char>*)context;
    if (offset > out->size() || out->size() - offset < count)
        return 0;
    memcpy(out->data() + offset, bytes, count);
    return 1;
}

thread_local int lastWriteError = 0;

int Failed()
{
    lastWriteError = errno ? errno : EIO;
    return 0;
}

int FileWrite(void* context, const unsigned char* bytes, size_t count)
{
    errno = 0;
    return fwrite(bytes, 1, count, (FILE*)context) == count || Failed();
}

int FilePatch(void* context, uint64_t offset, const unsigned char* bytes, size_t count)
{
    FILE* file = (FILE*)context;
    int64_t end = TellFile(file);
    if (end < 0 || !SeekFile(file, offset))
        return 0;
    errno = 0;
    int ok = fwrite(bytes, 1, count, file) == count || Failed();
    return SeekFile(file, (uint64_t)end) && ok;
}

}  // namespace

ByteSink VectorSink(std::vector<unsigned char>* bytes) { return ByteSink{VectorWrite, VectorPatch, bytes}; }

ByteSink FileSink(FILE* file) { return ByteSink{FileWrite, FilePatch, file}; }

int LastFileWriteError() { return lastWriteError; }

void ClearFileWriteError() { lastWriteError = 0; }

int FlushFile(FILE* file)
{
    errno = 0;
    return fflush(file) == 0 || Failed();
}

int SinkWrite(const ByteSink& sink, const void* bytes, size_t count)
{
    return count == 0 || sink.write(sink.context, (const unsigned char*)bytes, count);
}

int SinkZeros(const ByteSink& sink, uint64_t count)
{
    static const unsigned char zeros[4096] = {0};
    while (count > 0) {
        size_t piece = count < sizeof zeros ? (size_t)count : sizeof zeros;
        if (!SinkWrite(sink, zeros, piece))
            return 0;
        count -= piece;
    }
    return 1;
}

int SinkFileRange(const ByteSink& sink, FILE* file, uint64_t offset, uint64_t size, std::string* error)
{
    if (!SeekFile(file, offset)) {
        *error = "cannot seek in a temporary file";
        return 0;
    }
    std::vector<unsigned char> piece((size_t)(size < PieceSize ? size : PieceSize));
    while (size > 0) {
        size_t want = (size_t)(size < piece.size() ? size : piece.size());
        if (fread(piece.data(), 1, want, file) != want) {
            *error = "cannot read back a temporary file";
            return 0;
        }
        if (!SinkWrite(sink, piece.data(), want)) {
            *error = "write error";
            return 0;
        }
        size -= want;
    }
    return 1;
}

int SeekFile(FILE* file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (int64_t)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

int64_t TellFile(FILE* file)
{
#ifdef _WIN32
    return _ftelli64(file);
#else
    return (int64_t)ftello(file);
#endif
}
