// Reads a journal as the next start would after a crash: the header, then records until the first that does not
// check out. Every record read must encode back to exactly the bytes it was read from.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "job/journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ReadJournalHeader(data, size) != JournalHeaderValid)
        return 0;
    JournalReader reader;
    JournalRecord record;
    StartJournalReader(&reader, data, size);
    size_t at = reader.at;
    while (NextJournalRecord(&reader, &record)) {
        unsigned char encoded[JournalRecordMaxSize];
        size_t length = EncodeJournalRecord(record, encoded);
        if (length == 0 || length != reader.at - at || memcmp(encoded, data + at, length) != 0)
            abort();
        at = reader.at;
    }
    if (reader.at > size)
        abort();
    return 0;
}
