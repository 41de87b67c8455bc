#include "sim/simulatedcard.h"

#include <algorithm>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/eventrecord.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "sim/simrandom.h"

namespace sim {

using namespace linkscope;

namespace {

constexpr uint32_t SIM_SERIAL_BASE = 0x4C530000;  // "LS"
constexpr uint16_t SIM_VENDOR_ID = 0x10EE;
constexpr uint16_t SIM_DEVICE_ID = 0x7011;
constexpr uint16_t SIM_SUBSYSTEM_ID = 0x0007;
constexpr uint64_t SIM_BAR0_SIZE = 4096;
constexpr uint64_t SIM_BAR1_SIZE = 1048576;
constexpr uint64_t SIM_BAR0_BASE = 0xF7D00000;
constexpr uint64_t SIM_BAR1_BASE = 0xE0000000;
constexpr uint64_t SIM_BAR_STRIDE = 0x00200000;
constexpr int SIM_IRQ_BASE = 16;
constexpr uint32_t SIM_DRIVER_VERSION = 0x00010400;  // 1.4.0
constexpr uint32_t SIM_INFO_EXT1 = 0x53494D00;       // "SIM" and the device number
constexpr uint32_t TIME_UNIT_NS = 100;               // evt_time_a and evt_time_b count 100 ns
constexpr uint32_t TIME_COUNT_MAX = 0xFFFFFF;
constexpr uint16_t FCS_FAULT_PATTERN = 0xA55A;

uint32_t time_count(uint64_t ns) { return static_cast<uint32_t>(std::min<uint64_t>(ns / TIME_UNIT_NS, TIME_COUNT_MAX)); }

}  // namespace

SimulatedCard::SimulatedCard(int device_number, const SimSettings& settings, std::unique_ptr<ReplaySource> replay)
    : number_(device_number),
      settings_(settings),
      infos_(make_infos(device_number, settings)),
      seed_(SimRandom::hash(settings.seed, static_cast<uint64_t>(device_number))),
      origin_(Clock::now()),
      status_(make_status(settings.fcs_mode, settings.period_code)),
      model_(settings, seed_),
      faults_(settings, SimRandom::hash(seed_, 0xFA17)),
      replay_(std::move(replay)),
      block_(EVENT_BLOCK_SIZE, 0) {}

device_infos SimulatedCard::make_infos(int number, const SimSettings& settings) {
    device_infos d{};
    d.index = number - FIRST_DEVICE_NUMBER;
    d.sn = SIM_SERIAL_BASE | static_cast<uint32_t>(number);
    d.vid = SIM_VENDOR_ID;
    d.did = SIM_DEVICE_ID;
    d.ssvid = SIM_VENDOR_ID;
    d.ssdid = SIM_SUBSYSTEM_ID;
    d.bar_cnt = 2;
    d.bar_bsz[0] = SIM_BAR0_SIZE;
    d.bar_base[0] = SIM_BAR0_BASE - SIM_BAR_STRIDE * static_cast<uint64_t>(number - 1);
    d.bar_bsz[1] = SIM_BAR1_SIZE;
    d.bar_base[1] = SIM_BAR1_BASE + SIM_BAR_STRIDE * static_cast<uint64_t>(number - 1);
    d.irq_number = SIM_IRQ_BASE + number % 8;
    d.drv_version = SIM_DRIVER_VERSION;
    d.info_ext1 = SIM_INFO_EXT1 | static_cast<uint32_t>(number);
    d.info_ext2 = settings.fcs_mode;
    return d;
}

bool SimulatedCard::unplugged(Clock::time_point now) const {
    return settings_.unplug && ever_opened_ && now >= unplug_at_;
}

uint64_t SimulatedCard::bus_now_ns(Clock::time_point now) const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - origin_).count());
}

SimulatedCard::Clock::time_point SimulatedCard::steady_at(uint64_t bus_ns) const {
    return origin_ + std::chrono::nanoseconds(bus_ns);
}

bool SimulatedCard::is_present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !unplugged(Clock::now());
}

void SimulatedCard::on_open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ever_opened_) return;
    ever_opened_ = true;
    unplug_at_ = Clock::now() + std::chrono::milliseconds(settings_.unplug_ms);
}

void SimulatedCard::on_close() {
    std::lock_guard<std::mutex> lock(mutex_);
    sniffing_ = false;
    drop_pending();
    ++releases_;  // a closed handle has no pending wait left
    release_latched_ = false;
    changed_.notify_all();
}

bool SimulatedCard::request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                            uint32_t* bytes_returned) {
    Lock lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (bytes_returned) *bytes_returned = 0;
    if (unplugged(now)) return false;
    const auto* input = static_cast<const uint8_t*>(in);
    switch (code) {
        case LINKSCOPE_IOCTL_GET_INFOS:
            if (!out || out_size < DEVICE_INFOS_SIZE) return false;
            encode_device_infos(infos_, static_cast<uint8_t*>(out));
            if (bytes_returned) *bytes_returned = DEVICE_INFOS_SIZE;
            return true;
        case LINKSCOPE_IOCTL_SET_SNIFFER: {
            if (!input || in_size < SNIFFER_INPUT_SIZE) return false;
            const uint32_t value = load_le32(input);
            if (value != SNIFFER_ON && value != SNIFFER_OFF) return false;
            set_sniffer(value == SNIFFER_ON, now);
            return true;
        }
        case LINKSCOPE_IOCTL_SET_EPOCH:
            if (!input || in_size < EPOCH_INPUT_SIZE) return false;
            set_epoch(load_le64(input), now);
            return true;
        case LINKSCOPE_IOCTL_RESET:
            reset(now);
            return true;
        case LINKSCOPE_IOCTL_WAIT_EVENTS:
            if (!out || out_size < EVENT_BLOCK_SIZE) return false;
            return wait_events(static_cast<uint8_t*>(out), bytes_returned, lock);
        case LINKSCOPE_IOCTL_RELEASE_WAIT:
            if (waiting_ > 0)
                ++releases_;
            else
                release_latched_ = true;
            changed_.notify_all();
            return true;
        default:
            return false;
    }
}

void SimulatedCard::reset(Clock::time_point now) {
    next_index_ = 1;
    drop_pending();
    faults_.restart();
    epoch_us_ = 0;
    if (settings_.speed == SimSpeed::max) {
        model_.restart(0);
        epoch_bus_ns_ = 0;
    } else {
        epoch_bus_ns_ = bus_now_ns(now);
    }
    if (replay_) replay_->rewind();
    replay_block_ready_ = false;
    replay_ended_ = false;
    last_replay_ = Clock::time_point();
    changed_.notify_all();
}

void SimulatedCard::set_sniffer(bool on, Clock::time_point now) {
    if (on == sniffing_) return;
    const bool real = settings_.speed == SimSpeed::real;
    if (real && !replay_) {
        if (on)
            model_.skip_until(bus_now_ns(now));  // the bus ran unseen while the sniffer was off
        else
            capture(bus_now_ns(now));
    }
    sniffing_ = on;
    changed_.notify_all();
}

void SimulatedCard::set_epoch(uint64_t epoch_us, Clock::time_point now) {
    const bool real = settings_.speed == SimSpeed::real;
    if (real && sniffing_ && !replay_) capture(bus_now_ns(now));  // stamped on the old clock
    epoch_us_ = epoch_us;
    epoch_bus_ns_ = real ? bus_now_ns(now) : model_.current().start_ns;
}

void SimulatedCard::drop_pending() {
    std::memset(block_.data() + EVENT_AREA_OFFSET, 0, used_);
    used_ = 0;
}

bool SimulatedCard::capture(uint64_t until_ns) {
    if (until_ns != UINT64_MAX && until_ns > BACKLOG_LIMIT_NS &&
        model_.current().start_ns + BACKLOG_LIMIT_NS < until_ns)
        next_index_ += model_.skip_until(until_ns - BACKLOG_LIMIT_NS);
    for (;;) {
        const BusFrame& frame = model_.current();
        if (frame.end_ns() > until_ns) return false;
        if (used_ + EVT_HEADER_SIZE + frame.length > EVENT_AREA_SIZE) return true;
        write_record(frame);
        model_.advance();
    }
}

void SimulatedCard::write_record(const BusFrame& frame) {
    FaultHits hits;
    if (faults_.enabled()) hits = faults_.next();
    if (hits.loss) {
        ++next_index_;
        return;
    }
    EventHeader header;
    header.status = hits.status ? static_cast<uint16_t>(status_ | faults_.status_bit()) : status_;
    header.index = next_index_++;
    // A frame from just before the epoch request (not yet captured then) is stamped before it.
    if (frame.start_ns >= epoch_bus_ns_) {
        header.timestamp = epoch_us_ + (frame.start_ns - epoch_bus_ns_) / 1000;
    } else {
        const uint64_t before_us = (epoch_bus_ns_ - frame.start_ns + 999) / 1000;
        header.timestamp = epoch_us_ > before_us ? epoch_us_ - before_us : 0;
    }
    header.time_a = time_count(frame.duration_ns);
    header.time_b = time_count(frame.silence_ns);
    if (used_ == 0) first_pending_ns_ = frame.start_ns;

    uint8_t* record = block_.data() + EVENT_AREA_OFFSET + used_;
    used_ += write_event_record(record, header, model_.bytes(frame), frame.length);
    uint8_t* bytes = record + EVT_OFF_FRAME;
    const std::size_t body = frame.length - FCS_SIZE;
    if (hits.unknown) {
        bytes[0] = faults_.unknown_control();
        uint16_t fcs = 0;
        FrameCheck::compute(settings_.fcs_mode, bytes, body, &fcs);
        store_be16(bytes + body, fcs);
    }
    if (hits.fcs) store_be16(bytes + body, static_cast<uint16_t>(load_be16(bytes + body) ^ FCS_FAULT_PATTERN));
}

void SimulatedCard::deliver(uint8_t* out, uint32_t* bytes_returned) {
    store_le32(block_.data(), BLOCK_FLAG_EVENTS_A);
    std::memcpy(out, block_.data(), EVENT_BLOCK_SIZE);
    drop_pending();
    if (bytes_returned) *bytes_returned = EVENT_BLOCK_SIZE;
}

bool SimulatedCard::sleep_until(Clock::time_point wake, Lock& lock, uint64_t release_mark) {
    if (settings_.unplug && ever_opened_) wake = std::min(wake, unplug_at_);
    if (wake == Clock::time_point::max())
        changed_.wait(lock);
    else
        changed_.wait_until(lock, wake);
    return releases_ == release_mark && !unplugged(Clock::now());
}

bool SimulatedCard::wait_events(uint8_t* out, uint32_t* bytes_returned, Lock& lock) {
    if (release_latched_) {
        release_latched_ = false;
        return false;
    }
    const uint64_t mark = releases_;
    ++waiting_;
    struct Leave {
        unsigned& waiting;
        ~Leave() { --waiting; }
    } leave{waiting_};
    if (replay_) return wait_replay(out, bytes_returned, lock, mark);

    const uint64_t irq_ns = settings_.irq_us * 1000;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (unplugged(now) || releases_ != mark) return false;
        if (!sniffing_) {
            if (!sleep_until(Clock::time_point::max(), lock, mark)) return false;
            continue;
        }
        if (settings_.speed == SimSpeed::max) {
            capture(UINT64_MAX);
            deliver(out, bytes_returned);
            return true;
        }
        const uint64_t bus = bus_now_ns(now);
        if (capture(bus) || (used_ > 0 && bus >= first_pending_ns_ + irq_ns)) {
            deliver(out, bytes_returned);
            return true;
        }
        const uint64_t wake = used_ > 0 ? first_pending_ns_ + irq_ns : model_.current().end_ns();
        if (!sleep_until(steady_at(wake), lock, mark)) return false;
    }
}

bool SimulatedCard::fetch_replay_block() {
    if (replay_block_ready_) return true;
    if (replay_ended_) return false;
    if (replay_block_.size() != EVENT_BLOCK_SIZE) replay_block_.assign(EVENT_BLOCK_SIZE, 0);
    replay_pause_us_ = settings_.irq_us;
    if (!replay_->next_block(replay_block_.data(), &replay_pause_us_)) {
        replay_ended_ = true;
        return false;
    }
    replay_block_ready_ = true;
    return true;
}

bool SimulatedCard::wait_replay(uint8_t* out, uint32_t* bytes_returned, Lock& lock, uint64_t release_mark) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (unplugged(now) || releases_ != release_mark) return false;
        if (!sniffing_ || !fetch_replay_block()) {
            if (!sleep_until(Clock::time_point::max(), lock, release_mark)) return false;
            continue;
        }
        // A block is due its pause after the one before; the first one at once. A reader that
        // fell behind catches up without waiting, as from the card's buffer.
        const Clock::time_point due = last_replay_ + std::chrono::microseconds(replay_pause_us_);
        if (settings_.speed == SimSpeed::real && last_replay_ != Clock::time_point() && now < due) {
            if (!sleep_until(due, lock, release_mark)) return false;
            continue;
        }
        std::memcpy(out, replay_block_.data(), EVENT_BLOCK_SIZE);
        replay_block_ready_ = false;
        // Timed blocks keep their own schedule; untimed ones come an interrupt period apart.
        last_replay_ = replay_->timed() && last_replay_ != Clock::time_point() ? std::max(due, now - std::chrono::seconds(1)) : now;
        if (bytes_returned) *bytes_returned = EVENT_BLOCK_SIZE;
        return true;
    }
}

}  // namespace sim
