#include "gateway/card/linkscope.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/driver/cardrequests.h"
#include "common/driver/devicepath.h"
#include "common/driver/epoch.h"
#include "common/driver/eventblock.h"
#include "common/driver/failedwaits.h"
#include "common/driver/protocol.h"
#include "gateway/logger.h"
#include "gateway/queue/syncmappedqueue.h"
#include "platform/threadpriority.h"

using namespace linkscope;
using boost::posix_time::microsec_clock;
using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace {

constexpr int32_t WATCHDOG_RELOAD = 10;
constexpr auto WATCHDOG_TICK = std::chrono::milliseconds(100);
constexpr auto PER_SECOND_PERIOD = std::chrono::seconds(1);
// Failed waits: 10 ms apart, and the card is taken for gone after 1 s of nothing else.
constexpr FailedWaitRule FAILED_WAITS{std::chrono::milliseconds(10), std::chrono::seconds(1)};
// How long stop waits for the acquisition thread before it releases the wait again: a release
// that arrives just before the thread enters its wait is not seen by that wait.
constexpr auto RELEASE_RETRY = std::chrono::milliseconds(50);

ptime local_now() { return microsec_clock::local_time(); }

// Card indices whose device number (index + 1) can be named at all.
bool index_is_nameable(int index) { return index >= 0 && index < MAX_DEVICE_NUMBER; }

platform::DeviceHandle open_card(int index) {
    if (!index_is_nameable(index)) return platform::INVALID_DEVICE_HANDLE;
    return platform::device_open(device_path(index + FIRST_DEVICE_NUMBER).c_str());
}

void print_listing_entry(int position, const device_infos& d) {
    std::printf("*** Linkscope [%d]\n", position);
    std::printf("  index       = %d\n", d.index);
    std::printf("  sn          = 0x%08x\n", d.sn);
    std::printf("  vid         = 0x%04x\n", d.vid);
    std::printf("  did         = 0x%04x\n", d.did);
    std::printf("  ssvid       = 0x%04x\n", d.ssvid);
    std::printf("  ssdid       = 0x%04x\n", d.ssdid);
    std::printf("  bar_cnt     = %d\n", d.bar_cnt);
    const int bars = d.bar_cnt < 0 ? 0 : (d.bar_cnt > DEVICE_INFOS_BAR_COUNT ? DEVICE_INFOS_BAR_COUNT : d.bar_cnt);
    for (int i = 0; i < bars; ++i) {
        std::printf("  bar_bsz[%d]  = %llu\n", i, static_cast<unsigned long long>(d.bar_bsz[i]));
        std::printf("  bar_base[%d] = 0x0%llx\n", i, static_cast<unsigned long long>(d.bar_base[i]));
    }
    std::printf("  irq_number  = %d\n", d.irq_number);
    std::printf("  drv_version = 0x%08x\n", d.drv_version);
}

}  // namespace

// What one event block adds to the statistics; applied under the lock once per block.
struct Linkscope::BlockTally {
    uint32_t frames = 0;
    uint32_t bytes = 0;
    uint64_t status_b0 = 0, status_b12 = 0, status_b3 = 0, status_b4 = 0, status_b5 = 0, status_b6 = 0;
    uint64_t unknown_ctrl = 0, fcs_err = 0, pdu_type_err = 0, length_err = 0;
    uint32_t loss_events = 0;
    bool any_record = false;
    uint8_t fcs_mode = 0;
};

Linkscope::Linkscope(FILE* log, std::shared_ptr<Queue> queue)
    : log_(log), frame_loss_lines_(log, logger::WARN, "fip frame loss"), queue_(std::move(queue)) {
    // The per-second thread installs a fresh record first; waiting for that keeps it from
    // overwriting what an early start writes into the record.
    std::future<void> initialised = per_sec_initialised_.get_future();
    per_sec_running_ = true;
    per_sec_thread_ = std::thread(&Linkscope::_bkgd_per_sec_func, this);
    initialised.wait();
    wtdog_running_ = true;
    wtdog_thread_ = std::thread(&Linkscope::_bkgd_wtdog_func, this);
}

Linkscope::~Linkscope() {
    {
        std::lock_guard<std::mutex> lock(sleep_mutex_);
        wtdog_running_ = false;
        per_sec_running_ = false;
    }
    sleep_cv_.notify_all();
    wtdog_thread_.join();
    per_sec_thread_.join();
    if (dev_ != platform::INVALID_DEVICE_HANDLE) release_card();
    queue_.reset();
}

bool Linkscope::is_available(int* index) {
    if (!index) return false;
    if (*index >= 0) {
        platform::DeviceHandle dev = open_card(*index);
        if (dev == platform::INVALID_DEVICE_HANDLE) return false;
        platform::device_close(dev);
        return true;
    }
    for (int i = 0; i < GATEWAY_CARD_INDEX_COUNT; ++i) {
        platform::DeviceHandle dev = open_card(i);
        if (dev == platform::INVALID_DEVICE_HANDLE) continue;
        platform::device_close(dev);
        *index = i;
        return true;
    }
    return false;
}

const char* const Linkscope::HELD_ELSEWHERE_FORMAT = "linkscope: device (idx=%d) exists but is held by another program\n";

int Linkscope::held_elsewhere(int index) {
    auto busy = [](int i) { return index_is_nameable(i) && platform::device_is_busy(device_path(i + FIRST_DEVICE_NUMBER).c_str()); };
    if (index >= 0) return busy(index) ? index : -1;
    for (int i = 0; i < GATEWAY_CARD_INDEX_COUNT; ++i)
        if (busy(i)) return i;
    return -1;
}

void Linkscope::list() {
    int found = 0;
    for (int n = FIRST_DEVICE_NUMBER; n < FIRST_DEVICE_NUMBER + LISTED_DEVICE_COUNT; ++n) {
        platform::DeviceHandle dev = platform::device_open(device_path(n).c_str());
        if (dev == platform::INVALID_DEVICE_HANDLE) continue;
        uint8_t buffer[DEVICE_INFOS_SIZE];
        device_infos infos{};
        if (request_infos(dev, buffer))
            infos = decode_device_infos(buffer);
        else
            errno = EFAULT;
        print_listing_entry(++found, infos);
        platform::device_close(dev);
    }
    if (found == 0) std::printf("no device found\n");
    for (int n = FIRST_DEVICE_NUMBER; n < FIRST_DEVICE_NUMBER + LISTED_DEVICE_COUNT; ++n)
        if (platform::device_is_busy(device_path(n).c_str())) std::printf(HELD_ELSEWHERE_FORMAT, n - FIRST_DEVICE_NUMBER);
    std::fflush(stdout);
}

int Linkscope::start(int index) {
    if (opened_) {
        logger::print(log_, logger::ERR, "fip: already started.\n");
        return -1;
    }
    // A card that stopped answering is still held: let it go before opening anew.
    if (dev_ != platform::INVALID_DEVICE_HANDLE) release_card();

    dev_ = open_card(index);
    if (dev_ == platform::INVALID_DEVICE_HANDLE) {
        logger::print(log_, logger::ERR, "fip: cannot open the device.\n");
        errno = EACCES;
        return EACCES;
    }
    opened_ = true;

    request_reset(dev_);

    uint8_t buffer[DEVICE_INFOS_SIZE];
    if (!request_infos(dev_, buffer)) {
        logger::print(log_, logger::ERR, "fip: impossible to get device info.\n");
        platform::device_close(dev_);
        dev_ = platform::INVALID_DEVICE_HANDLE;
        opened_ = false;
        errno = EFAULT;
        return -1;
    }
    infos_ = decode_device_infos(buffer);
    reset_stats(true);
    set_changed();

    continuity_ = Continuity();
    card_lost_ = false;
    irq_finished_ = false;
    irq_running_ = true;
    irq_thread_ = std::thread(&Linkscope::_bkgd_irq_func, this);
    (void)platform::request_highest_fifo_priority(irq_thread_);

    const uint64_t epoch = epoch_microseconds();
    if (!opened_ || !request_epoch(dev_, epoch)) {
        const bool request_failed = opened_;
        logger::print(log_, logger::ERR, "cannot configure the epoch time.\n");
        return fail_started_card(request_failed);
    }
    if (!opened_) {
        logger::print(log_, logger::ERR, "cannot set mem_rdy flag.\n");
        return fail_started_card(false);
    }
    if (!request_sniffer(dev_, SNIFFER_ON)) {
        logger::print(log_, logger::ERR, "cannot start the sniffer.\n");
        return fail_started_card(true);
    }
    return 0;
}

int Linkscope::fail_started_card(bool request_failed) {
    end_acquisition();
    platform::device_close(dev_);
    dev_ = platform::INVALID_DEVICE_HANDLE;
    opened_ = false;
    if (request_failed) errno = EFAULT;
    return -1;
}

int Linkscope::stop() {
    // Also a card that stopped answering (opened already cleared) is still held and released here.
    if (dev_ == platform::INVALID_DEVICE_HANDLE) return -1;
    release_card();
    return 0;
}

void Linkscope::release_card() {
    // A card that stopped answering gets no further request: it would only fail again.
    const bool sniffer_stopped = card_lost_ || request_sniffer(dev_, SNIFFER_OFF);
    if (!sniffer_stopped) logger::print(log_, logger::ERR, "cannot stop the sniffer correctly.\n");
    end_acquisition();
    platform::device_close(dev_);
    dev_ = platform::INVALID_DEVICE_HANDLE;
    opened_ = false;
    frame_loss_lines_.summarize();
    if (!sniffer_stopped) errno = EFAULT;
}

void Linkscope::end_acquisition() {
    irq_running_ = false;
    if (!irq_thread_.joinable()) return;
    for (;;) {
        // The thread that found the card gone ends by itself.
        if (!card_lost_ && !irq_finished_) request_release(dev_);
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        if (sleep_cv_.wait_for(lock, RELEASE_RETRY, [this] { return irq_finished_.load(); })) break;
    }
    irq_thread_.join();
}

FIPStats Linkscope::stats() const {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    return stats_;
}

void Linkscope::reset_stats(bool with_card_identity) {
    FIPStats fresh;
    if (with_card_identity) {
        fresh.card_aux = static_cast<uint8_t>(infos_.info_ext2 & 0xFF);
        fresh.sn = infos_.sn;
    }
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_ = fresh;
    // The rates restart with the counters, or the first figure after a restart would be garbage.
    baseline_ = PerSecondBaseline();
}

bool Linkscope::pause_unless_stopped(std::atomic<bool>& running, std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    return !sleep_cv_.wait_for(lock, period, [&running] { return !running.load(); });
}

// ---- acquisition thread ----

void Linkscope::_bkgd_irq_func() {
    logger::print(log_, logger::INFO, "linkscope interrupt handler is launched\n");
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    FailedWaits failed_waits(FAILED_WAITS);
    while (irq_running_) {
        const bool got = request_events(dev_, block.data());
        if (!irq_running_) break;
        if (!got) {
            if (failed_waits.failed_card_gone(std::chrono::steady_clock::now())) {
                logger::print(log_, logger::ERR, "fip: the card no longer answers.\n");
                card_lost_ = true;
                opened_ = false;
                break;
            }
            std::this_thread::sleep_for(failed_waits.pause());
            continue;
        }
        failed_waits.succeeded();
        process_block(block.data());
    }
    logger::print(log_, logger::EVENT, "linkscope interrupt handler is closed\n");
    {
        std::lock_guard<std::mutex> lock(sleep_mutex_);
        irq_finished_ = true;
    }
    sleep_cv_.notify_all();
}

void Linkscope::process_block(const uint8_t* block) {
    if (!EventBlock(block).carries_events()) return;
    mark_block_with_events();
    BlockTally tally;
    walk_block(block, tally);
    apply_tally(tally);
}

void Linkscope::mark_block_with_events() {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    wtdog_cnt_ = WATCHDOG_RELOAD;
    if (!stats_.is_active) {
        stats_.is_active = true;
        stats_.last_start_date = local_now();
        stats_.last_inact_duration = stats_.last_start_date - stats_.last_stop_date;
        stats_.total_inact_duration = inact_accum_ + stats_.last_inact_duration;
        inact_accum_ = stats_.total_inact_duration;
    }
    stats_.last_act_duration = local_now() - stats_.last_start_date;
    stats_.total_act_duration = act_accum_ + stats_.last_act_duration;
    set_changed();
}

void Linkscope::walk_block(const uint8_t* block, BlockTally& tally) {
    std::size_t filled = 0;
    EventBlock(block).walk(
        [&](const EventRecord& record) {
            count_record(record.data(), record.size(), tally);
            if (!queue_) return;
            // Built in a buffer the sender gave back where there is one.
            if (filled == block_records_.size()) block_records_.emplace_back();
            fill_record_buffer(block_records_[filled++], record);
        },
        [&](uint64_t index) { check_continuity(index, tally); });
    // The block's records go in together: one lock and at most one wake-up of the sender a
    // block, and the lock covers no allocation and no copy.
    if (filled > 0) queue_->enqueue_all(block_records_, filled);
}

void Linkscope::fill_record_buffer(std::vector<char>& buffer, const EventRecord& record) {
    // Buffers go round between this thread and the sender: grown in steps, a buffer soon fits
    // every record of the bus and is never reallocated again.
    if (buffer.capacity() < record.size())
        buffer.reserve((record.size() + RECORD_BUFFER_STEP - 1) / RECORD_BUFFER_STEP * RECORD_BUFFER_STEP);
    const char* bytes = reinterpret_cast<const char*>(record.data());
    buffer.assign(bytes, bytes + record.size());
}

void Linkscope::check_continuity(uint64_t index, BlockTally& tally) {
    const uint64_t last = continuity_.last_index();
    const uint64_t breaks = continuity_.discontinuities();
    continuity_.check(index);
    if (continuity_.discontinuities() == breaks) return;
    ++tally.loss_events;
    if (!frame_loss_lines_.admit()) return;
    // The line shows the signed step, also for a restart that adds nothing to lost_frame_cnt.
    logger::print(log_, logger::WARN, "fip frame loss ([idx-1]:%llu [idx]:%llu [diff]:%lli)\n",
                  static_cast<unsigned long long>(last), static_cast<unsigned long long>(index),
                  static_cast<long long>(Continuity::signed_difference(last, index)));
}

void Linkscope::count_record(const uint8_t* record, std::size_t length, BlockTally& tally) const {
    const EventRecord event(record, length);
    const uint16_t status = event.status();
    tally.status_b6 += (status & STATUS_BIT6) != 0;
    tally.status_b5 += (status & STATUS_BIT5) != 0;
    tally.status_b4 += (status & STATUS_BIT4) != 0;
    tally.status_b0 += (status & STATUS_BIT0) != 0;
    tally.status_b12 += (status & (STATUS_BIT1 | STATUS_BIT2)) != 0;
    tally.status_b3 += (status & STATUS_BIT3) != 0;
    ++tally.frames;
    tally.any_record = true;
    tally.fcs_mode = event.fcs_mode();
    const std::size_t n = event.frame_length();
    tally.bytes += static_cast<uint32_t>(n + 3);
    switch (calc_.check(event.frame(), n, tally.fcs_mode)) {
        case FIPCalculator::Fault::none: break;
        case FIPCalculator::Fault::unknown_control: ++tally.unknown_ctrl; break;
        case FIPCalculator::Fault::fcs: ++tally.fcs_err; break;
        case FIPCalculator::Fault::pdu_type: ++tally.pdu_type_err; break;
        case FIPCalculator::Fault::length: ++tally.length_err; break;
    }
}

void Linkscope::apply_tally(const BlockTally& tally) {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    FIPStats& s = stats_;
    s.status_b6_cnt += tally.status_b6;
    s.status_b5_cnt += tally.status_b5;
    s.status_b4_cnt += tally.status_b4;
    s.status_b0_cnt += tally.status_b0;
    s.status_b12_cnt += tally.status_b12;
    s.status_b3_cnt += tally.status_b3;
    s.frame_rcvd_cnt += tally.frames;
    s.bytes_rcvd_cnt += tally.bytes;
    if (tally.any_record) s.fcs_mode = tally.fcs_mode;
    s.unknown_ctrl_cnt += tally.unknown_ctrl;
    s.fcs_err_cnt += tally.fcs_err;
    s.pdu_type_err_cnt += tally.pdu_type_err;
    s.length_err_cnt += tally.length_err;
    s.loss_evt_cnt += tally.loss_events;
    s.lost_frame_cnt = static_cast<uint32_t>(continuity_.lost_total());
    missing_frames_.store(continuity_.missing_total(), std::memory_order_relaxed);
}

// ---- watchdog thread ----

void Linkscope::_bkgd_wtdog_func() {
    while (pause_unless_stopped(wtdog_running_, WATCHDOG_TICK)) watchdog_tick();
}

void Linkscope::watchdog_tick() {
    if (!irq_running_) return;
    std::lock_guard<std::mutex> lock(stats_mutex_);
    if (--wtdog_cnt_ >= 0) return;
    if (stats_.is_active) {
        stats_.is_active = false;
        stats_.last_stop_date = local_now() - boost::posix_time::seconds(1);
        stats_.last_act_duration = stats_.last_stop_date - stats_.last_start_date;
        stats_.total_act_duration = act_accum_ + stats_.last_act_duration;
        act_accum_ = stats_.total_act_duration;
        ++stats_.act_loss_cnt;
    }
    stats_.last_inact_duration = local_now() - stats_.last_stop_date;
    stats_.total_inact_duration = inact_accum_ + stats_.last_inact_duration;
    wtdog_cnt_ = 0;
    set_changed();
}

// ---- per-second thread ----

void Linkscope::_bkgd_per_sec_func() {
    reset_stats(false);
    set_changed();
    notify_observers();
    per_sec_initialised_.set_value();
    while (pause_unless_stopped(per_sec_running_, PER_SECOND_PERIOD)) refresh_stats();
}

void Linkscope::refresh_stats() {
    BufferUsage usage;
    if (queue_) usage = queue_->get_usage();
    {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        if (!queue_) {
            // Without a queue there is nothing to measure: keep the last percentages.
            usage.used_pct = stats_.buf_used_pct;
            usage.free_pct = stats_.buf_free_pct;
        }
        refresh_stats(stats_, baseline_, usage);
    }
    frame_loss_lines_.summarize();
    notify_observers();
}

void Linkscope::refresh_stats(FIPStats& s, PerSecondBaseline& baseline, const BufferUsage& usage) {
    s.frame_rcvd_cnt_per_sec = s.frame_rcvd_cnt - baseline.frames;
    baseline.frames = s.frame_rcvd_cnt;
    s.bytes_rcvd_cnt_per_sec = s.bytes_rcvd_cnt - baseline.bytes;
    baseline.bytes = s.bytes_rcvd_cnt;
    s.buf_total = usage.total;
    s.buf_used = usage.used;
    s.buf_free = usage.free;
    if (usage.total != 0) {
        s.buf_used_pct = static_cast<float>(usage.used * 100.0 / usage.total);
        s.buf_free_pct = static_cast<float>(usage.free * 100.0 / usage.total);
    } else {
        s.buf_used_pct = usage.used_pct;
        s.buf_free_pct = usage.free_pct;
    }
}
