#include "platform/datagramreceive.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {

// Winsock keeps no count of the datagrams it drops for want of buffer room.
bool enable_drop_count(std::uintptr_t) { return false; }

ReceiveResult receive_datagram(std::uintptr_t socket, uint8_t* buffer, std::size_t size, ReceivedDatagram& out,
                               std::string& error) {
    sockaddr_in from{};
    int from_length = sizeof from;
    const int received = recvfrom(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size),
                                  0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received == SOCKET_ERROR) {
        const int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return ReceiveResult::nothing_waiting;
        if (code != WSAEMSGSIZE) {
            char text[256] = "";
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
            error = text[0] ? text : "Winsock error " + std::to_string(code);
            return ReceiveResult::failed;
        }
        out.size = size;  // cut to the buffer, as on Linux
    } else {
        out.size = static_cast<std::size_t>(received);
    }
    out.address = ntohl(from.sin_addr.s_addr);
    out.port = ntohs(from.sin_port);
    out.drops_known = false;
    out.drops = 0;
    return ReceiveResult::datagram;
}

}  // namespace platform
