// Takes datagrams from a UDP socket together with the system's count of the datagrams it
// dropped on that socket because its receive buffer was full. Linux tells the count with each
// datagram (SO_RXQ_OVFL); Windows keeps none, so there the count is never available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct ReceivedDatagram {
    std::size_t size = 0;
    uint32_t address = 0;  // the sender's IPv4 address, host order
    uint16_t port = 0;
    bool drops_known = false;
    uint32_t drops = 0;  // datagrams dropped on the socket before this one came, since it was opened
};

enum class ReceiveResult { datagram, nothing_waiting, failed };

// Asks the system to tell the drop count with every datagram of `socket` (an open IPv4 UDP
// socket's native handle). False where it cannot: the count is then never known.
bool enable_drop_count(std::uintptr_t socket);

// Takes one waiting datagram into `buffer` without waiting (the socket is non-blocking). A
// datagram longer than `size` is cut to it. On failure `error` holds the system's message.
ReceiveResult receive_datagram(std::uintptr_t socket, uint8_t* buffer, std::size_t size, ReceivedDatagram& out,
                               std::string& error);

}  // namespace platform
