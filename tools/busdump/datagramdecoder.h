// Decodes one received datagram into its header and records. Pure: bytes in, description out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/busdump/decodeddatagram.h"

namespace busdump {

class DatagramDecoder {
public:
    // Never reads outside [data, data + size). A malformed datagram comes back with its error
    // set, no records, and header_valid telling whether its sequence number can still be trusted.
    static DecodedDatagram decode(const uint8_t* data, std::size_t size);
    // The same into `out`, whose storage is reused: a receiver that keeps one DecodedDatagram
    // for all its datagrams allocates only while they grow.
    static void decode_into(const uint8_t* data, std::size_t size, DecodedDatagram& out);

    // One event record of exactly `length` bytes (at least the 30-byte header).
    static EventInfo decode_event(const uint8_t* record, std::size_t length);

private:
    static bool decode_header(const uint8_t* data, std::size_t size, DecodedDatagram& out);
    static bool walk_records(const uint8_t* data, std::size_t size, DecodedDatagram& out);
    static bool decode_record(const uint8_t* record, std::size_t length, DecodedRecord& out, std::string& error);
};

}  // namespace busdump
