#pragma once
// Is a text Shift-JIS (cp932), the only encoding the updater shows correctly? And if not, what does it look like,
// so the publisher can be told how to save it.
#include <cstddef>
#include <string>

enum TextEncoding {
    TextCp932,     // Shift-JIS (cp932); plain ASCII counts as this
    TextUtf8,      // valid UTF-8 with at least one multi-byte character
    TextUtf8Bom,   // starts with the UTF-8 byte-order mark
    TextUtf16,     // a UTF-16 byte-order mark, or NUL bytes in every other place as UTF-16 text has them
    TextNulByte,   // Shift-JIS but for a NUL byte or a few
    TextEucJp,     // no Shift-JIS, but every non-ASCII byte pairs up as EUC-JP
    TextUnknown,   // none of these (Latin-1, Windows-1252, damage)
};

// The text's encoding, and the 1-based line of the first byte that is not Shift-JIS (1 for a byte-order mark).
TextEncoding DetectTextEncoding(const unsigned char* text, size_t size, int* line);

// One error text for a text that is not cp932: which encoding it looks like and how to save it as Shift-JIS.
std::string EncodingProblem(TextEncoding encoding);
