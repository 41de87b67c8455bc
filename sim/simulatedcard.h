// A simulated Linkscope card: serves the driver's six requests from a model of a live FIP bus
// (or from a file of recorded blocks), as the real card's driver does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/driver/deviceinfos.h"
#include "platform/device.h"
#include "sim/replaysource.h"
#include "sim/busmodel.h"
#include "sim/faultinjector.h"
#include "sim/simsettings.h"

namespace sim {

class SimulatedCard : public platform::Device {
public:
    SimulatedCard(int device_number, const SimSettings& settings, std::unique_ptr<ReplaySource> replay = nullptr);

    const linkscope::device_infos& infos() const { return infos_; }

    bool is_present() const override;
    void on_open() override;
    void on_close() override;
    bool request(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                 uint32_t* bytes_returned) override;

    // The card holds at most this much bus time of events that nobody has read; older ones are
    // lost (and leave a gap in the frame indices), as in the card's own buffer.
    static constexpr uint64_t BACKLOG_LIMIT_NS = 10ull * 1000000000;

private:
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;

    static linkscope::device_infos make_infos(int device_number, const SimSettings& settings);

    bool unplugged(Clock::time_point now) const;
    uint64_t bus_now_ns(Clock::time_point now) const;
    Clock::time_point steady_at(uint64_t bus_ns) const;

    void reset(Clock::time_point now);
    void set_sniffer(bool on, Clock::time_point now);
    void set_epoch(uint64_t epoch_us, Clock::time_point now);
    bool wait_events(uint8_t* out, uint32_t* bytes_returned, Lock& lock);
    bool wait_replay(uint8_t* out, uint32_t* bytes_returned, Lock& lock, uint64_t release_mark);
    // Makes sure a replayed block is ready to deliver; false when the replay has no more.
    bool fetch_replay_block();
    // Sleeps until `wake` (or the unplug time); false when the wait must end (released, unplugged).
    bool sleep_until(Clock::time_point wake, Lock& lock, uint64_t release_mark);

    // Captures the frames that end at or before `until_ns` into the pending block; true when the
    // next one does not fit (the block is full).
    bool capture(uint64_t until_ns);
    void write_record(const BusFrame& frame);
    void deliver(uint8_t* out, uint32_t* bytes_returned);
    void drop_pending();

    const int number_;
    const SimSettings settings_;
    const linkscope::device_infos infos_;
    const uint64_t seed_;
    const Clock::time_point origin_;
    const uint16_t status_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    BusModel model_;
    FaultInjector faults_;
    std::unique_ptr<ReplaySource> replay_;

    bool sniffing_ = false;
    uint64_t epoch_us_ = 0;
    uint64_t epoch_bus_ns_ = 0;
    uint64_t next_index_ = 1;
    bool ever_opened_ = false;
    Clock::time_point unplug_at_;

    std::vector<uint8_t> block_;
    std::size_t used_ = 0;             // bytes of the event area holding records
    uint64_t first_pending_ns_ = 0;    // bus time of the first record in the pending block
    // Replay: the block fetched and not yet delivered, and when the one before was due.
    std::vector<uint8_t> replay_block_;
    bool replay_block_ready_ = false;
    bool replay_ended_ = false;
    uint64_t replay_pause_us_ = 0;
    Clock::time_point last_replay_;

    uint64_t releases_ = 0;            // ends every wait pending when it changes
    unsigned waiting_ = 0;
    bool release_latched_ = false;     // a release with no wait pending ends the next wait
};

}  // namespace sim
