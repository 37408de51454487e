// Reads a journal as the next start would after a crash: the header, then records until the first that does not
// check out. Every record read must encode back to exactly the bytes it was read from. The seal copied from a
// journal must accept that journal, and judging any bytes against any seal must stay inside both.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "job/journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input also serves as a seal for itself, whatever it holds.
    JournalWithinSeal(data, size, data, size);
    if (ReadJournalHeader(data, size) != JournalHeaderValid)
        return 0;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, data, size);
    size_t at = reader.at;
    int jobFirst = -1;
    while (NextJournalRecord(&reader, &record)) {
        if (jobFirst < 0)
            jobFirst = record.type == JournalJob;
        unsigned char encoded[JournalRecordMaxSize];
        size_t length = EncodeJournalRecord(record, encoded);
        if (length == 0 || length != reader.at - at || memcmp(encoded, data + at, length) != 0)
            abort();
        at = reader.at;
    }
    if (reader.at > size)
        abort();
    std::vector<unsigned char> seal(size);
    size_t sealSize = CopyJournalSeal(data, size, seal.data());
    if (sealSize < JournalHeaderSize || sealSize > size)
        abort();
    if (jobFirst == 1 && !JournalWithinSeal(data, size, seal.data(), sealSize))
        abort();
    return 0;
}
