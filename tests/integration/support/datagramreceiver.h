// Receives the gateway's datagrams on 127.0.0.1 (an ephemeral port) and splits them into their
// 16-byte header and records. Parsing is bounds-checked: a malformed datagram is reported as such.
//
//   integration::DatagramReceiver receiver;            // bound to 127.0.0.1:<receiver.port()>
//   GatewayProcess gw(busgated_path(), {"-a", "127.0.0.1", "-p", std::to_string(receiver.port()), ...});
//   while (auto d = receiver.receive(std::chrono::seconds(2)))
//       for (const auto& record : d->records) ...      // record[0]: 0xC0 event, 0xC1 lifesign
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace integration {

struct ReceivedDatagram {
    uint64_t sequence = 0;
    uint32_t record_count = 0;
    std::vector<std::vector<uint8_t>> records;  // each whole, type byte and length included
};

// Splits one datagram; nullopt with `error` set when the header is wrong, a record length runs
// past the end, or the count does not match the records found.
std::optional<ReceivedDatagram> parse_datagram(const uint8_t* data, std::size_t size, std::string* error = nullptr);

class DatagramReceiver {
public:
    static constexpr uint8_t EVENT_RECORD_TYPE = 0xC0;
    static constexpr uint8_t LIFESIGN_RECORD_TYPE = 0xC1;

    DatagramReceiver();  // binds 127.0.0.1, port chosen by the system
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    uint16_t port() const;

    // Closes the socket: datagrams sent meanwhile are lost, as to a receiver that went away.
    void pause();
    // Binds the same port again after pause().
    void resume();

    // The next datagram, or nullopt after `timeout` without one. A datagram that does not parse
    // is counted in malformed() and skipped.
    std::optional<ReceivedDatagram> receive(std::chrono::milliseconds timeout);

    std::size_t malformed() const { return malformed_; }
    const std::string& last_error() const { return last_error_; }

private:
    struct Socket;
    void open_socket(uint16_t port);

    std::unique_ptr<Socket> socket_;
    uint16_t port_ = 0;
    std::size_t malformed_ = 0;
    std::string last_error_;
};

}  // namespace integration
