#include "decimal.h"

namespace {

const char* SkipBlanks(const char* p)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

}  // namespace

int32_t ParseSignedDecimal(const char* text)
{
    const char* p = SkipBlanks(text);
    int negative = 0;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate the magnitude in 64 bits and stop growing once it is past every 32-bit limit.
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (magnitude <= 0x80000000LL)
            magnitude = magnitude * 10 + (*p - '0');
    if (negative)
        return magnitude >= 0x80000000LL ? INT32_MIN : (int32_t)-magnitude;
    return magnitude > INT32_MAX ? INT32_MAX : (int32_t)magnitude;
}

uint64_t ParseUnsignedDecimal64(const char* text)
{
    const char* p = SkipBlanks(text);
    int negative = 0;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = (unsigned)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            value = UINT64_MAX;
            while (p[1] >= '0' && p[1] <= '9')
                ++p;
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? (uint64_t)0 - value : value;
}

uint64_t ParseByteCount(const char* text)
{
    if (*SkipBlanks(text) == '-')
        return (uint32_t)ParseSignedDecimal(text);
    return ParseUnsignedDecimal64(text);
}
