#pragma once
// zlib -9 as our blocks would be: raw deflate, no header and no checksum.
#include <zlib.h>

#include <cstring>
#include <vector>

inline std::vector<unsigned char> RawDeflate9(const std::vector<unsigned char>& data)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<unsigned char*>(data.data());
    z.avail_in = (uInt)data.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
