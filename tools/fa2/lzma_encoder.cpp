#include "lzma_encoder.h"

#if FA2_HAVE_LZMA
#include <lzma.h>

#include <algorithm>
#include <cstring>

int LzmaEncoderAvailable() { return 1; }

namespace {

uint32_t PresetFor(EncodeLevel level)
{
    switch (level) {
    case EncodeFast: return 1;
    case EncodeBest: return 9 | LZMA_PRESET_EXTREME;
    default: return 6;
    }
}

const size_t LzmaPiece = 1u << 20;

// The first five bytes of the stored form: the properties byte and the dictionary size.
void PutLzmaHeader(const lzma_options_lzma& options, unsigned char* header)
{
    header[0] = (unsigned char)((options.pb * 5 + options.lp) * 9 + options.lc);
    for (int k = 0; k < 4; ++k)
        header[1 + k] = (unsigned char)(options.dict_size >> (8 * k));
}

}  // namespace

int EncodeLzmaStream(size_t size, EncodeLevel level, EncodeReader read, void* readContext, const ByteSink& out,
                     uint64_t* written, std::string* error)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, PresetFor(level))) {
        *error = "LZMA: preset not supported";
        return 0;
    }
    size_t fit = (size + 4095) & ~(size_t)4095;
    if (fit < 4096)
        fit = 4096;
    if (options.dict_size > fit)
        options.dict_size = (uint32_t)fit;
    if (options.dict_size > LzmaMaxDictionary)
        options.dict_size = (uint32_t)LzmaMaxDictionary;
    options.ext_flags = 0;  // no end marker: the record carries the size
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    unsigned char header[5];
    PutLzmaHeader(options, header);
    if (!SinkWrite(out, header, sizeof header)) {
        *error = "write error";
        return 0;
    }
    *written = sizeof header;

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        *error = "LZMA: the encoder cannot start (out of memory?)";
        return 0;
    }
    std::vector<unsigned char> input(std::min(size, LzmaPiece)), output(LzmaPiece);
    size_t left = size;
    lzma_ret ret = LZMA_OK;
    int writeFailed = 0;
    error->clear();
    PublishEncodeProgress(0);
    while (ret == LZMA_OK) {
        PublishEncodeProgress(size - left - stream.avail_in);  // what the encoder has taken in
        if (stream.avail_in == 0 && left > 0) {
            size_t piece = std::min(left, input.size());
            if (!read(readContext, input.data(), piece))
                break;
            left -= piece;
            stream.next_in = input.data();
            stream.avail_in = piece;
        }
        stream.next_out = output.data();
        stream.avail_out = output.size();
        ret = lzma_code(&stream, left == 0 ? LZMA_FINISH : LZMA_RUN);
        size_t produced = output.size() - stream.avail_out;
        if (!SinkWrite(out, output.data(), produced)) {
            *error = "write error";
            writeFailed = 1;
            break;
        }
        *written += produced;
    }
    lzma_end(&stream);
    if (ret == LZMA_STREAM_END && !writeFailed)
        return 1;
    if (ret != LZMA_OK && error->empty())
        *error = "LZMA: the encoder failed";
    return 0;
}

namespace {

struct MemoryInput {
    const unsigned char* at;
};

int ReadMemory(void* context, unsigned char* bytes, size_t count)
{
    MemoryInput* input = (MemoryInput*)context;
    memcpy(bytes, input->at, count);
    input->at += count;
    return 1;
}

}  // namespace

int EncodeLzma(const unsigned char* data, size_t size, EncodeLevel level, std::vector<unsigned char>* out,
               std::string* error)
{
    out->clear();
    MemoryInput input = {data};
    uint64_t written;
    return EncodeLzmaStream(size, level, ReadMemory, &input, VectorSink(out), &written, error);
}

#else

int LzmaEncoderAvailable() { return 0; }

const char NoLzmaEncoder[] = "this fa2 has no LZMA encoder (codecs: fa2); use the Linux fa2 for --codec lzma";

int EncodeLzma(const unsigned char*, size_t, EncodeLevel, std::vector<unsigned char>*, std::string* error)
{
    *error = NoLzmaEncoder;
    return 0;
}

int EncodeLzmaStream(size_t, EncodeLevel, EncodeReader, void*, const ByteSink&, uint64_t*, std::string* error)
{
    *error = NoLzmaEncoder;
    return 0;
}

#endif
