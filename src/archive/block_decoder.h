#pragma once
// Decoder of the archive's compressed blocks: literals and back-references over an 8192-byte window, steered by
// 32-bit flag words that sit in the stream between the data bytes.
#include <cstddef>
#include <cstdint>

// 1 when the block decoded to exactly dstSize bytes without reading past srcSize; 0 otherwise.
// Nothing outside dst is written and nothing outside src is read, whatever the block holds. dst and src must not
// overlap. On failure dst holds whatever was decoded before the fault, and bytes behind it may have changed.
int DecompressBlock(unsigned char* dst, size_t dstSize, const unsigned char* src, size_t srcSize);

// The same decoder in spans, for output that goes out in pieces through a window and input that comes in pieces.
// The caller owns both buffers and moves them between spans; the state is the bit reader and the two positions.
const size_t BlockHistorySize = 8192;  // the farthest a back-reference reaches
const size_t BlockStepMaxOutput = 32 + 282;
const size_t BlockStepMaxInput = 4 + 32 + 1 + 4 + 1;

struct BlockDecoder {
    uint32_t flag;
    unsigned left;
    const unsigned char* ip;
    const unsigned char* iend;
    unsigned char* op;
};

enum BlockSpanResult {
    BlockSpanEnd,        // the end code was read; op is where the output ends
    BlockSpanFailed,     // malformed: a read past iend, a write past oend or a distance before `history`
    BlockSpanNeedRoom,   // fewer than BlockStepMaxOutput bytes left before oend (only with moreOutput)
    BlockSpanNeedInput,  // fewer than BlockStepMaxInput bytes left before iend (only with moreInput)
};

// Reads the first flag word; 0 when the source is shorter than one.
int StartBlock(BlockDecoder* decoder, const unsigned char* src, size_t srcSize, unsigned char* dst);

// Decodes from decoder->ip (up to iend) to decoder->op (up to oend). `history` is the oldest output byte still
// held: a distance that reaches before it is damage, so it must hold the last BlockHistorySize bytes (or all the
// output, when there is less). moreOutput / moreInput: oend / iend is only where this span's buffer ends, and the
// span stops early, before a step could need what lies past it.
BlockSpanResult DecodeBlockSpan(BlockDecoder* decoder, const unsigned char* history, unsigned char* oend,
                                int moreOutput, int moreInput);
