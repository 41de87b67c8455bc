// How busdump shows what it receives: the readable lines or the JSON lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/notice.h"
#include "tools/busdump/statsmeter.h"

namespace busdump {

// Where and when a datagram arrived.
struct Arrival {
    int64_t time_us = 0;  // receive time, microseconds since 1970 UTC
    std::string source;   // "address:port" of the sender
};

class Formatter {
public:
    virtual ~Formatter() = default;

    // One line (with its line end) per record; `number` is the record's place in the datagram.
    virtual std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const = 0;
    virtual std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const = 0;
    virtual std::string stats(const StatsMeter::Interval& interval) const = 0;
    virtual std::string totals(const StatsMeter::Interval& totals) const = 0;
};

}  // namespace busdump
