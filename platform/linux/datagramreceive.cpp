#include "platform/datagramreceive.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {

bool enable_drop_count(std::uintptr_t socket) {
    const int on = 1;
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
}

ReceiveResult receive_datagram(std::uintptr_t socket, uint8_t* buffer, std::size_t size, ReceivedDatagram& out,
                               std::string& error) {
    sockaddr_in from{};
    iovec vector{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = recvmsg(static_cast<int>(socket), &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveResult::nothing_waiting;
        error = std::strerror(errno);
        return ReceiveResult::failed;
    }
    out.size = static_cast<std::size_t>(received);
    out.address = ntohl(from.sin_addr.s_addr);
    out.port = ntohs(from.sin_port);
    // With the option on, the system leaves the count out while it is 0.
    out.drops_known = true;
    out.drops = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL &&
            header->cmsg_len >= CMSG_LEN(sizeof(uint32_t)))
            std::memcpy(&out.drops, CMSG_DATA(header), sizeof out.drops);
    return ReceiveResult::datagram;
}

}  // namespace platform
