// Who a stream of datagrams comes from. The gateway's socket is not bound to a port, so every
// run of a gateway sends from another one: a gateway is known by its address and its card's
// serial number (from its lifesigns); until a lifesign names the card, by address and port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace busdump {

struct SenderId {
    std::string address;             // IPv4, dotted
    uint16_t port = 0;               // of its latest datagram
    std::optional<uint32_t> serial;  // once a lifesign named the card (never 0)

    SenderId() = default;
    SenderId(std::string address_text, uint16_t port_number, std::optional<uint32_t> card = std::nullopt)
        : address(std::move(address_text)), port(port_number), serial(card) {}

    // What tells two senders apart: "address sn 0x4c530001" once the card is known, else
    // "address:port". Two ids with the same key are the same sender.
    std::string key() const { return serial ? serial_key(address, *serial) : endpoint_key(address, port); }
    // "address:port" of its latest datagram.
    std::string endpoint() const { return endpoint_key(address, port); }

    static std::string endpoint_key(const std::string& address, uint16_t port);
    static std::string serial_key(const std::string& address, uint32_t serial);
};

}  // namespace busdump
