#include "tools/busdump/senderid.h"

#include <cstdio>

namespace busdump {

std::string SenderId::endpoint_key(const std::string& address, uint16_t port) {
    return address + ":" + std::to_string(port);
}

std::string SenderId::serial_key(const std::string& address, uint32_t serial) {
    char text[24];
    std::snprintf(text, sizeof text, " sn 0x%08x", static_cast<unsigned>(serial));
    return address + text;
}

}  // namespace busdump
