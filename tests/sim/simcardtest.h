// Builds simulated cards from LINKSCOPE_SIM texts and drives them through their requests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "sim/simulatedcard.h"
#include "tests/support/capturedevent.h"

namespace simtest {

inline std::shared_ptr<sim::SimulatedCard> make_card(const std::string& text, int number = 1) {
    sim::SimSettings settings;
    std::string error;
    if (!sim::SimSettings::parse(text, &settings, &error)) return nullptr;
    auto card = std::make_shared<sim::SimulatedCard>(number, settings);
    card->on_open();
    return card;
}

inline bool send_u32(platform::Device& card, uint32_t code, uint32_t value) {
    uint8_t in[4];
    linkscope::store_le32(in, value);
    return card.request(code, in, sizeof in, nullptr, 0, nullptr);
}

inline bool set_epoch(platform::Device& card, uint64_t epoch_us) {
    uint8_t in[8];
    linkscope::store_le64(in, epoch_us);
    return card.request(linkscope::LINKSCOPE_IOCTL_SET_EPOCH, in, sizeof in, nullptr, 0, nullptr);
}

inline bool plain(platform::Device& card, uint32_t code) {
    uint32_t returned = 0;
    return card.request(code, nullptr, 0, nullptr, 0, &returned);
}

// The start sequence of the gateway: reset, epoch, sniffer on.
inline void start(platform::Device& card, uint64_t epoch_us) {
    plain(card, linkscope::LINKSCOPE_IOCTL_RESET);
    set_epoch(card, epoch_us);
    send_u32(card, linkscope::LINKSCOPE_IOCTL_SET_SNIFFER, linkscope::SNIFFER_ON);
}

// The events of `blocks` successive waits (fewer if a wait fails).
inline std::vector<testsupport::CapturedEvent> read_events(platform::Device& card, int blocks) {
    std::vector<testsupport::CapturedEvent> events;
    std::vector<uint8_t> block;
    for (int i = 0; i < blocks && testsupport::wait_block(card, block); ++i) {
        auto more = testsupport::collect_events(block);
        events.insert(events.end(), more.begin(), more.end());
    }
    return events;
}

}  // namespace simtest
