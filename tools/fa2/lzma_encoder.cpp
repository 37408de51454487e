#include "lzma_encoder.h"

#if FA2_HAVE_LZMA
#include <lzma.h>

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

}  // namespace

int EncodeLzma(const unsigned char* data, size_t size, EncodeLevel level, std::vector<unsigned char>* out,
               std::string* error)
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
    header[0] = (unsigned char)((options.pb * 5 + options.lp) * 9 + options.lc);
    for (int k = 0; k < 4; ++k)
        header[1 + k] = (unsigned char)(options.dict_size >> (8 * k));
    out->assign(header, header + sizeof header);

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        *error = "LZMA: the encoder cannot start (out of memory?)";
        return 0;
    }
    stream.next_in = data;
    stream.avail_in = size;
    lzma_ret ret;
    do {
        size_t at = out->size();
        out->resize(at + (1u << 20));
        stream.next_out = out->data() + at;
        stream.avail_out = 1u << 20;
        ret = lzma_code(&stream, LZMA_FINISH);
        out->resize(out->size() - stream.avail_out);
    } while (ret == LZMA_OK);
    lzma_end(&stream);
    if (ret != LZMA_STREAM_END) {
        *error = "LZMA: the encoder failed";
        return 0;
    }
    return 1;
}

#else

int LzmaEncoderAvailable() { return 0; }

int EncodeLzma(const unsigned char*, size_t, EncodeLevel, std::vector<unsigned char>*, std::string* error)
{
    *error = "this fa2 has no LZMA encoder (codecs: fa2); use the Linux fa2 for --codec lzma";
    return 0;
}

#endif
