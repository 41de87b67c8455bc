#include "bench/startedcard.h"

#include <cstdint>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"

namespace bench {

std::shared_ptr<sim::SimulatedCard> started_card(const std::string& settings_text) {
    using namespace linkscope;
    sim::SimSettings settings;
    std::string error;
    if (!sim::SimSettings::parse(settings_text, &settings, &error)) return nullptr;
    auto card = std::make_shared<sim::SimulatedCard>(1, settings);
    card->on_open();
    uint8_t in[8];
    card->request(LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, nullptr);
    store_le64(in, 1700000000000000ull);
    card->request(LINKSCOPE_IOCTL_SET_EPOCH, in, 8, nullptr, 0, nullptr);
    store_le32(in, SNIFFER_ON);
    card->request(LINKSCOPE_IOCTL_SET_SNIFFER, in, 4, nullptr, 0, nullptr);
    return card;
}

}  // namespace bench
