// How busdump shows what it receives: the readable lines or the JSON lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/mqttclient.h"
#include "tools/busdump/notice.h"
#include "tools/busdump/source.h"
#include "tools/busdump/statsmeter.h"

namespace busdump {

// Where and when a datagram arrived.
struct Arrival {
    Arrival() = default;
    Arrival(int64_t time, std::string from, unsigned number = 0, std::optional<uint32_t> card = std::nullopt)
        : time_us(time), source(std::move(from)), source_number(number), serial(card) {}

    int64_t time_us = 0;  // receive time, microseconds since 1970 UTC
    std::string source;   // "address:port" of the sender
    unsigned source_number = 0;       // the sender's place among those heard, from 1; 0: not known
    std::optional<uint32_t> serial;   // its card's serial number, once a lifesign named it
    // The socket's count of dropped datagrams that came with this one, where the system tells it.
    std::optional<uint32_t> socket_drops;
};

class Formatter {
public:
    virtual ~Formatter() = default;

    // One line (with its line end) per record; `number` is the record's place in the datagram.
    virtual std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const = 0;
    virtual std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const = 0;
    virtual std::string stats(const StatsMeter::Interval& interval) const = 0;
    virtual std::string totals(const StatsMeter::Interval& totals) const = 0;
    // A sender's losses by stage since the start, for the per-second view at `time_us`.
    virtual std::string source_losses(const Source& source, int64_t time_us) const = 0;
    // The totals of one sender, printed before the overall totals.
    virtual std::string source_totals(const Source& source) const = 0;
    // What became of the messages for the MQTT broker at `broker` (--mqtt).
    virtual std::string mqtt_totals(const std::string& broker, const MqttClient::Counts& counts) const = 0;

    // Lowercase hex bytes separated by spaces: "03 90 80".
    static std::string hex_bytes(const uint8_t* bytes, std::size_t size, const char* separator = " ");
    // The arrival's sender as "#1 127.0.0.1:40000 sn 0x4c530001", as far as known.
    static std::string source_label(const Arrival& arrival);
    static std::string source_label(const Source& source);
};

}  // namespace busdump
