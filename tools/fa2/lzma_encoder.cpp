#include "lzma_encoder.h"

#if FA2_HAVE_LZMA
#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "support/little_endian.h"

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

// The level's preset with the dictionary fitted to the data (at least 4 KiB, at most LzmaMaxDictionary) and no
// end marker: the record carries the size.
int FittedOptions(size_t size, EncodeLevel level, lzma_options_lzma* options, std::string* error)
{
    if (lzma_lzma_preset(options, PresetFor(level))) {
        *error = "LZMA: preset not supported";
        return 0;
    }
    size_t fit = (size + 4095) & ~(size_t)4095;
    if (fit < 4096)
        fit = 4096;
    if (options->dict_size > fit)
        options->dict_size = (uint32_t)fit;
    if (options->dict_size > LzmaMaxDictionary)
        options->dict_size = (uint32_t)LzmaMaxDictionary;
    options->ext_flags = 0;
    return 1;
}

int StartEncoder(lzma_stream* stream, lzma_options_lzma* options, std::string* error)
{
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, options}, {LZMA_VLI_UNKNOWN, nullptr}};
    *stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(stream, filters) != LZMA_OK) {
        *error = "LZMA: the encoder cannot start (out of memory?)";
        return 0;
    }
    return 1;
}

int EncodePlain(size_t size, EncodeLevel level, EncodeReader read, void* readContext, const ByteSink& out,
                uint64_t* written, std::string* error)
{
    lzma_options_lzma options;
    if (!FittedOptions(size, level, &options, error))
        return 0;
    unsigned char header[5];
    PutLzmaHeader(options, header);
    if (!SinkWrite(out, header, sizeof header)) {
        *error = "write error";
        return 0;
    }
    *written = sizeof header;

    lzma_stream stream;
    if (!StartEncoder(&stream, &options, error))
        return 0;
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

// One piece of the pieced form, encoded on whichever thread runs it.
struct PieceJob {
    lzma_options_lzma options;  // with the piece's preset dictionary
    const unsigned char* data;
    size_t size;
    std::atomic<size_t>* taken;     // input bytes taken by every piece of the batch
    std::atomic<size_t>* progress;  // the display's counter, for the piece of the calling thread; else null
    std::vector<unsigned char> stream;
    std::string error;
    int ok;
};

void EncodePiece(PieceJob* job)
{
    job->ok = 0;
    job->stream.clear();
    lzma_stream stream;
    if (!StartEncoder(&stream, &job->options, &job->error))
        return;
    std::vector<unsigned char> output(LzmaPiece);
    size_t at = 0;
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK) {
        if (stream.avail_in == 0 && at < job->size) {
            size_t piece = std::min(job->size - at, LzmaPiece);
            stream.next_in = job->data + at;
            stream.avail_in = piece;
            at += piece;
            job->taken->fetch_add(piece, std::memory_order_relaxed);
        }
        stream.next_out = output.data();
        stream.avail_out = output.size();
        ret = lzma_code(&stream, at == job->size ? LZMA_FINISH : LZMA_RUN);
        job->stream.insert(job->stream.end(), output.data(), output.data() + (output.size() - stream.avail_out));
        if (job->progress)
            job->progress->store(job->taken->load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    lzma_end(&stream);
    job->ok = ret == LZMA_STREAM_END;
    if (!job->ok && job->error.empty())
        job->error = "LZMA: the encoder failed";
}

// The batch's pieces, each behind its header, in order.
int WritePieces(const std::vector<PieceJob>& jobs, size_t count, const ByteSink& out, uint64_t* written,
                std::string* error)
{
    for (size_t i = 0; i < count; ++i) {
        const PieceJob& job = jobs[i];
        if (!job.ok) {
            *error = job.error;
            return 0;
        }
        unsigned char header[LzmaPieceHeaderSize];
        StoreLe32(header, (uint32_t)job.size);
        StoreLe32(header + 4, (uint32_t)job.stream.size());
        if (!SinkWrite(out, header, sizeof header) || !SinkWrite(out, job.stream.data(), job.stream.size())) {
            *error = "write error";
            return 0;
        }
        *written += sizeof header + job.stream.size();
    }
    return 1;
}

}  // namespace

size_t LzmaPieceSize(size_t size)
{
    if (size < LzmaPiecedFrom)
        return 0;
    // In 64 bits: a 32-bit fa2 takes files of up to 4 GiB.
    uint64_t pieces = 2 * (((uint64_t)size + 2 * LzmaPieceTarget - 1) / (2 * LzmaPieceTarget));
    uint64_t piece = ((uint64_t)size + pieces - 1) / pieces;
    return (size_t)((piece + 0xFFFF) & ~(uint64_t)0xFFFF);
}

int EncodeLzmaPieced(size_t size, size_t pieceSize, EncodeLevel level, int threads, EncodeReader read,
                     void* readContext, const ByteSink& out, uint64_t* written, std::string* error)
{
    lzma_options_lzma options;
    if (size == 0 || pieceSize == 0 || pieceSize % 16 || pieceSize > 0xFFFFFFFFu || threads < 1) {
        *error = "LZMA: no pieces for this size";
        return 0;
    }
    if (!FittedOptions(size, level, &options, error))
        return 0;
    unsigned char header[LzmaPiecedHeaderSize];
    header[0] = LzmaPiecedMark;
    PutLzmaHeader(options, header + 1);
    if (!SinkWrite(out, header, sizeof header)) {
        *error = "write error";
        return 0;
    }
    *written = sizeof header;

    // The buffer holds the dictionary's worth of input before the batch, then the batch's pieces.
    const size_t dictionary = options.dict_size;
    const size_t batchBytes = std::min(size, pieceSize * (size_t)threads);
    std::vector<unsigned char> buffer(std::min(size, dictionary + batchBytes));
    std::vector<PieceJob> jobs(threads);
    std::atomic<size_t> taken(0);
    size_t kept = 0, done = 0;
    error->clear();
    // The calling thread's counter, taken once: the helpers have counters of their own that nobody reads.
    std::atomic<size_t>* const progress = EncodeProgressTarget;
    progress->store(0, std::memory_order_relaxed);
    while (done < size) {
        size_t batch = std::min(batchBytes, size - done);
        if (!read(readContext, buffer.data() + kept, batch))
            return 0;
        size_t count = 0;
        for (size_t at = 0; at < batch; at += pieceSize, ++count) {
            PieceJob& job = jobs[count];
            job.options = options;
            job.data = buffer.data() + kept + at;
            job.size = std::min(pieceSize, batch - at);
            job.options.preset_dict_size = (uint32_t)std::min(dictionary, kept + at);
            job.options.preset_dict = job.options.preset_dict_size ? job.data - job.options.preset_dict_size : nullptr;
            job.taken = &taken;
            job.progress = count == 0 ? progress : nullptr;
        }
        // This thread takes the first piece, and with it the progress line.
        std::vector<std::thread> helpers;
        for (size_t i = 1; i < count; ++i)
            helpers.emplace_back(EncodePiece, &jobs[i]);
        EncodePiece(&jobs[0]);
        for (std::thread& helper : helpers)
            helper.join();
        if (!WritePieces(jobs, count, out, written, error))
            return 0;
        done += batch;
        // The dictionary's worth behind the batch primes the next one.
        size_t keep = std::min(dictionary, kept + batch);
        memmove(buffer.data(), buffer.data() + kept + batch - keep, keep);
        kept = keep;
    }
    progress->store(size, std::memory_order_relaxed);
    return 1;
}

int EncodeLzmaStream(size_t size, EncodeLevel level, int threads, EncodeReader read, void* readContext,
                     const ByteSink& out, uint64_t* written, std::string* error)
{
    size_t pieceSize = LzmaPieceSize(size);
    if (pieceSize)
        return EncodeLzmaPieced(size, pieceSize, level, threads, read, readContext, out, written, error);
    return EncodePlain(size, level, read, readContext, out, written, error);
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
    return EncodePlain(size, level, ReadMemory, &input, VectorSink(out), &written, error);
}

#else

int LzmaEncoderAvailable() { return 0; }

const char NoLzmaEncoder[] = "this fa2 has no LZMA encoder (codecs: fa2); use the Linux fa2 for --codec lzma";

int EncodeLzma(const unsigned char*, size_t, EncodeLevel, std::vector<unsigned char>*, std::string* error)
{
    *error = NoLzmaEncoder;
    return 0;
}

int EncodeLzmaStream(size_t, EncodeLevel, int, EncodeReader, void*, const ByteSink&, uint64_t*, std::string* error)
{
    *error = NoLzmaEncoder;
    return 0;
}

size_t LzmaPieceSize(size_t) { return 0; }

int EncodeLzmaPieced(size_t, size_t, EncodeLevel, int, EncodeReader, void*, const ByteSink&, uint64_t*,
                     std::string* error)
{
    *error = NoLzmaEncoder;
    return 0;
}

#endif
