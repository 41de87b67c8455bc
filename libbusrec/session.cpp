#include "libbusrec/session.h"

#include <cerrno>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/cardrequests.h"
#include "common/driver/epoch.h"
#include "common/driver/eventblock.h"
#include "common/driver/failedwaits.h"
#include "common/driver/protocol.h"
#include "libbusrec/reportlayout.h"
#include "common/analysis/variabledecoder.h"
#include "platform/threadpriority.h"

namespace busrec {

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds FIRST_DIAGNOSTIC_PERIOD = 1000ms;
// Failed waits: 1 ms apart; after 1 s of nothing else (the gateway's time) the card is gone.
constexpr linkscope::FailedWaitRule FAILED_WAITS{1ms, 1000ms};
// A release can reach the driver just before the wait it is meant to end: repeat it.
constexpr std::chrono::milliseconds RELEASE_REPEAT = 5ms;

uint8_t* bytes_of(busrec_report* report) { return reinterpret_cast<uint8_t*>(report); }

}  // namespace

Session::Session(busrec_sess* handle, const busrec_sess_cfg& cfg)
    : handle_(handle),
      cfg_(cfg),
      device_(cfg.device),
      report_(new busrec_report()),
      sequence_(new SequenceBuffer()),
      analyzer_(cfg.sync_id ? cfg.sync_id : variable::DEFAULT_SYNC_ID, *sequence_, sequence_lock_),
      block_(linkscope::EVENT_BLOCK_SIZE),
      sequence_copy_(new SequenceBuffer()),
      report_copy_(new busrec_report()) {}

Session::~Session() {
    if (diag_thread_.joinable()) stop_diag_task();
    if (irq_thread_.joinable()) stop_irq_handler();
}

std::chrono::milliseconds Session::diagnostic_period(uint8_t period_code) {
    switch (period_code) {
        case 1: return 1600ms;
        case 2: return 500ms;
        case 3: return 200ms;
        case 4: return 100ms;
        case 5: return 40ms;
        case 6: return 20ms;
        default: return 0ms;
    }
}

bool Session::on_own_thread() const {
    const auto self = std::this_thread::get_id();
    return self == irq_thread_.get_id() || self == diag_thread_.get_id();
}

int Session::start_irq_handler() {
    if (irq_thread_.joinable()) {
        errno = BUSREC_E_IRQ_STARTED;
        return -1;
    }
    irq_stop_.rearm();
    irq_finished_ = false;
    try {
        irq_thread_ = std::thread(&Session::run_irq_handler, this);
    } catch (...) {
        errno = EPERM;
        return -1;
    }
    platform::request_highest_default_priority(irq_thread_);
    device_->irq_thread = &irq_thread_;
    device_->irq_running = 1;
    return 0;
}

int Session::stop_irq_handler() {
    if (!irq_thread_.joinable()) {
        errno = BUSREC_E_IRQ_STOPPED;
        return -1;
    }
    device_->irq_running = 0;
    irq_stop_.stop();
    // A card given up is asked nothing more: its thread ends by itself.
    while (!irq_finished_ && !card_lost_) {
        linkscope::request_release(device_handle());
        std::this_thread::sleep_for(RELEASE_REPEAT);
    }
    irq_thread_.join();
    device_->irq_thread = nullptr;
    return 0;
}

int Session::start_diag_task() {
    if (diag_thread_.joinable()) {
        errno = BUSREC_E_DIAG_STARTED;
        return -1;
    }
    diag_stop_.rearm();
    try {
        diag_thread_ = std::thread(&Session::run_diag_task, this);
    } catch (...) {
        return -1;
    }
    platform::request_highest_default_priority(diag_thread_);
    device_->diag_thread = &diag_thread_;
    device_->diag_running = 1;
    return 0;
}

int Session::stop_diag_task() {
    if (!diag_thread_.joinable()) {
        errno = BUSREC_E_DIAG_STOPPED;
        return -1;
    }
    device_->diag_running = 0;
    diag_stop_.stop();
    diag_thread_.join();
    device_->diag_thread = nullptr;
    return 0;
}

int Session::start() {
    std::lock_guard<std::mutex> control(control_lock_);
    if (card_lost_) {
        errno = BUSREC_E_CARD_LOST;
        return -1;
    }
    if (running_) {
        errno = BUSREC_E_RUNNING;
        return -1;
    }
    const uint64_t start_time = linkscope::epoch_microseconds();
    if (!linkscope::request_epoch(device_handle(), start_time)) {
        errno = EFAULT;
        return -1;
    }
    // The session runs before the sniffer goes on: the card delivers at once, and the
    // interrupt handler must hand every event it counts to the data handler.
    {
        std::lock_guard<std::mutex> lock(report_lock_);
        uint8_t* report = bytes_of(report_.get());
        std::memset(report, 0, sizeof(busrec_report));
        linkscope::store_le64(report + report::START_TIME, start_time);
        linkscope::store_le16(report + report::STATE, BUSREC_STATE_RUNNING);
        running_ = true;
    }
    if (!linkscope::request_sniffer(device_handle(), linkscope::SNIFFER_ON)) {
        {
            std::lock_guard<std::mutex> lock(report_lock_);
            linkscope::store_le16(bytes_of(report_.get()) + report::STATE, BUSREC_STATE_START_FAILED);
            running_ = false;
        }
        errno = EFAULT;
        return -1;
    }
    return 0;
}

int Session::stop() {
    std::lock_guard<std::mutex> control(control_lock_);
    if (!running_) return 0;
    if (!linkscope::request_sniffer(device_handle(), linkscope::SNIFFER_OFF)) {
        errno = EFAULT;
        return -1;
    }
    end_run(BUSREC_STATE_STOPPED);
    return 0;
}

void Session::end_run(uint16_t state) {
    const uint64_t stop_time = linkscope::epoch_microseconds();
    std::lock_guard<std::mutex> lock(report_lock_);
    uint8_t* report = bytes_of(report_.get());
    if (running_) {
        const uint64_t start_time = linkscope::load_le64(report + report::START_TIME);
        linkscope::store_le64(report + report::STOP_TIME, stop_time);
        linkscope::store_le64(report + report::ELAPSED, stop_time > start_time ? stop_time - start_time : 0);
    }
    linkscope::store_le16(report + report::STATE, state);
    running_ = false;
}

void Session::give_up_card() {
    {
        std::lock_guard<std::mutex> control(control_lock_);
        card_lost_ = true;
        end_run(BUSREC_STATE_CARD_LOST);
    }
    cfg_.error_handler(handle_, BUSREC_E_CARD_LOST);
}

void Session::copy_report(busrec_report* out) {
    std::lock_guard<std::mutex> lock(report_lock_);
    std::memcpy(out, report_.get(), sizeof(busrec_report));
}

void Session::clear_stats() {
    std::lock_guard<std::mutex> lock(report_lock_);
    std::memset(bytes_of(report_.get()) + report::COUNTERS_BEGIN, 0, report::COUNTERS_END - report::COUNTERS_BEGIN);
}

void Session::set_state(uint16_t state) {
    std::lock_guard<std::mutex> lock(report_lock_);
    linkscope::store_le16(bytes_of(report_.get()) + report::STATE, state);
}

void Session::run_irq_handler() {
    const platform::DeviceHandle handle = device_handle();
    linkscope::FailedWaits failed_waits(FAILED_WAITS);
    while (!irq_stop_.stopped()) {
        const bool got = linkscope::request_events(handle, block_.data());
        if (irq_stop_.stopped()) break;
        if (!got) {
            if (failed_waits.failed_card_gone(std::chrono::steady_clock::now())) {
                give_up_card();
                break;
            }
            irq_stop_.sleep_for(failed_waits.pause());
            continue;
        }
        failed_waits.succeeded();
        const linkscope::EventBlock block(block_.data());
        if (!block.carries_events()) continue;
        block.walk([this](const linkscope::EventRecord& record) { process(record); });
    }
    irq_finished_ = true;
}

void Session::process(const linkscope::EventRecord& record) {
    busrec_event event;
    bool hand_on = false;
    {
        // Decided with the analysis, under the report lock that start and stop take to change
        // the running flag: an event counted in a running session's report reaches the handler.
        std::lock_guard<std::mutex> lock(report_lock_);
        analyzer_.analyze(record, bytes_of(report_.get()), event);
        hand_on = running_;
    }
    if (hand_on && cfg_.data_handler) cfg_.data_handler(handle_, &event);
}

void Session::run_diag_task() {
    std::chrono::milliseconds period = FIRST_DIAGNOSTIC_PERIOD;
    bool period_fixed = false;
    while (diag_stop_.sleep_for(period)) {
        uint8_t period_code = 0;
        {
            std::lock_guard<std::mutex> lock(report_lock_);
            period_code = report_->period_code;
        }
        const std::chrono::milliseconds step_period = diagnostic_period(period_code);
        if (step_period.count() == 0) continue;
        if (!period_fixed) {
            period = step_period;
            period_fixed = true;
        }
        diagnostic_step();
    }
}

void Session::diagnostic_step() {
    {
        std::lock_guard<std::mutex> lock(sequence_lock_);
        *sequence_copy_ = *sequence_;
    }
    const bool changed = cycles_.analyze(*sequence_copy_);
    {
        std::lock_guard<std::mutex> lock(report_lock_);
        uint8_t* report = bytes_of(report_.get());
        // A start clears the report: publish again what was found before it.
        const bool lost = cycles_.distance() != 0 && linkscope::load_le32(report + report::CYCLE_COUNT) == 0;
        if (changed || lost) cycles_.publish(report);
        std::memcpy(report_copy_.get(), report_.get(), sizeof(busrec_report));
    }
    if (running_ && cfg_.diag_handler) cfg_.diag_handler(handle_, report_copy_.get());
}

}  // namespace busrec
