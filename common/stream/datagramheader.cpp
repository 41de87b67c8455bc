#include "common/stream/datagramheader.h"

#include <cstdio>

#include "common/driver/byteorder.h"

namespace {

bool refuse(std::string* error, const char* format, unsigned long long a, unsigned long long b) {
    if (error) {
        char text[96];
        std::snprintf(text, sizeof text, format, a, b);
        *error = text;
    }
    return false;
}

}  // namespace

void DatagramHeader::encode(uint8_t* out) const {
    out[OFF_MAGIC] = MAGIC_0;
    out[OFF_MAGIC + 1] = MAGIC_1;
    out[OFF_MARK] = MARK;
    out[OFF_RESERVED] = RESERVED;
    linkscope::store_be64(out + OFF_SEQUENCE, sequence);
    linkscope::store_be32(out + OFF_RECORD_COUNT, record_count);
}

bool DatagramHeader::decode(const uint8_t* data, std::size_t size, DatagramHeader& out, std::string* error) {
    if (data == nullptr || size < HEADER_SIZE)
        return refuse(error, "short header: %llu bytes, the header alone has %llu", data ? size : 0, HEADER_SIZE);
    if (data[OFF_MAGIC] != MAGIC_0 || data[OFF_MAGIC + 1] != MAGIC_1)
        return refuse(error, "bad magic 0x%02llx%02llx (expected \"LS\")", data[OFF_MAGIC], data[OFF_MAGIC + 1]);
    if (data[OFF_MARK] != MARK) return refuse(error, "bad mark 0x%02llx (expected 0x%02llx)", data[OFF_MARK], MARK);
    if (data[OFF_RESERVED] != RESERVED)
        return refuse(error, "reserved byte is 0x%02llx (expected 0x%02llx)", data[OFF_RESERVED], RESERVED);
    out.sequence = linkscope::load_be64(data + OFF_SEQUENCE);
    out.record_count = linkscope::load_be32(data + OFF_RECORD_COUNT);
    return true;
}
