#include "support/crc32.h"
#include "support/little_endian.h"

namespace {

// Slicing by eight: Table[k][b] is the CRC of byte b followed by k zero bytes, so eight bytes cost eight lookups
// and no bit loop.
uint32_t Table[8][256];
int TablesBuilt;

void BuildTables()
{
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        Table[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k)
            Table[k][b] = (Table[k - 1][b] >> 8) ^ Table[0][Table[k - 1][b] & 0xFF];
    TablesBuilt = 1;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size)
{
    if (!TablesBuilt)
        BuildTables();
    const unsigned char* p = (const unsigned char*)data;
    uint32_t c = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t low = c ^ LoadLe32(p), high = LoadLe32(p + 4);
        c = Table[7][low & 0xFF] ^ Table[6][(low >> 8) & 0xFF] ^ Table[5][(low >> 16) & 0xFF] ^ Table[4][low >> 24] ^
            Table[3][high & 0xFF] ^ Table[2][(high >> 8) & 0xFF] ^ Table[1][(high >> 16) & 0xFF] ^ Table[0][high >> 24];
    }
    for (; size > 0; --size, ++p)
        c = (c >> 8) ^ Table[0][(c ^ *p) & 0xFF];
    return ~c;
}
