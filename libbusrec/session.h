// The private context of one capture session: the report and the sequence buffer with their
// locks, the analysis, and the interrupt handler and diagnostic task threads it owns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/driver/eventrecord.h"
#include "common/analysis/cycleanalyzer.h"
#include "libbusrec/eventanalyzer.h"
#include "libbusrec/include/busrec.h"
#include "common/analysis/sequencebuffer.h"
#include "libbusrec/stopsignal.h"
#include "platform/deviceio.h"

namespace busrec {

class Session {
public:
    // `cfg` has been checked: handlers set, device open and not bound. May throw std::bad_alloc.
    Session(busrec_sess* handle, const busrec_sess_cfg& cfg);
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Thread control; -1 with errno set as the library documents it.
    int start_irq_handler();
    int stop_irq_handler();
    int start_diag_task();
    int stop_diag_task();

    int start();
    int stop();
    void copy_report(busrec_report* out);
    void clear_stats();
    void set_state(uint16_t state);

    // True on the session's own interrupt or diagnostic thread (a handler calling back in).
    bool on_own_thread() const;
    busrec_device* device() const { return device_; }

    // Diagnostic periods by period_code; 0 for no diagnostic step.
    static std::chrono::milliseconds diagnostic_period(uint8_t period_code);

private:
    platform::DeviceHandle device_handle() const { return static_cast<platform::DeviceHandle>(device_->handle); }
    // Ends the run, if any, with its stop time, and leaves `state` in the report.
    void end_run(uint16_t state);
    // On the interrupt handler thread, when the card has stopped answering.
    void give_up_card();
    void run_irq_handler();
    void process(const linkscope::EventRecord& record);
    void run_diag_task();
    void diagnostic_step();

    busrec_sess* const handle_;
    const busrec_sess_cfg cfg_;
    busrec_device* const device_;
    std::atomic<bool> running_{false};
    std::mutex control_lock_;  // serialises start and stop

    std::unique_ptr<busrec_report> report_;
    std::mutex report_lock_;
    std::unique_ptr<SequenceBuffer> sequence_;
    std::mutex sequence_lock_;
    EventAnalyzer analyzer_;  // used by the interrupt handler only, under the report lock

    std::thread irq_thread_;
    StopSignal irq_stop_;
    std::atomic<bool> irq_finished_{false};
    std::atomic<bool> card_lost_{false};  // set once, by the interrupt handler
    std::vector<uint8_t> block_;

    std::thread diag_thread_;
    StopSignal diag_stop_;
    std::unique_ptr<SequenceBuffer> sequence_copy_;
    std::unique_ptr<busrec_report> report_copy_;
    CycleAnalyzer cycles_;
};

}  // namespace busrec
