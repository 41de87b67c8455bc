// A capture session on a scripted test device, driven through the public interface.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "libbusrec/include/busrec.h"
#include "tests/support/blockbuilder.h"
#include "tests/support/testdevice.h"

namespace busrectest {

struct SeenEvent {
    busrec_event event;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> data;
};

struct HarnessOptions {
    int number = 1;
    uint16_t sync_id = 0;
    bool data_handler = true;
    bool diag_handler = true;
};

class SessionHarness {
public:
    explicit SessionHarness(const HarnessOptions& options = HarnessOptions());
    ~SessionHarness();

    busrec_sess* session() const { return session_; }
    busrec_device* device() const { return device_; }
    testsupport::TestDevice& card() { return *card_; }

    // Queues one block of these records and waits until the session has analysed it.
    bool deliver(const std::vector<std::vector<uint8_t>>& records);
    bool deliver_block(const std::vector<uint8_t>& block);

    std::unique_ptr<busrec_report> report() const;
    std::vector<SeenEvent> events() const;
    int reset_calls() const { return reset_calls_; }
    int error_calls() const { return error_calls_; }
    int diag_calls() const { return diag_calls_; }
    uint64_t wait_requests_at_reset() const { return wait_requests_at_reset_; }
    // Waits until the report satisfies `done`, polling; false on timeout.
    template <class Done>
    bool wait_for_report(Done&& done, std::chrono::milliseconds timeout = std::chrono::milliseconds(8000)) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (done(*report())) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Ends the session now (the destructor then only closes the device).
    int exit_session();

private:
    static SessionHarness* of(busrec_sess* sess);
    static void on_reset(busrec_sess* sess);
    static void on_error(busrec_sess* sess, int code);
    static void on_data(busrec_sess* sess, const busrec_event* event);
    static void on_diag(busrec_sess* sess, const busrec_report* report);

    int number_;
    std::shared_ptr<testsupport::TestDevice> card_;
    busrec_device* device_ = nullptr;
    busrec_sess* session_ = nullptr;
    std::size_t blocks_delivered_ = 0;
    mutable std::mutex mutex_;
    std::vector<SeenEvent> events_;
    std::atomic<int> reset_calls_{0};
    std::atomic<int> error_calls_{0};
    std::atomic<int> diag_calls_{0};
    std::atomic<uint64_t> wait_requests_at_reset_{0};
};

// Records around frames with the default status (fcs_mode 2, period_code 3).
std::vector<uint8_t> id_frame(uint8_t control, uint16_t identifier, uint64_t index = 0, uint64_t time = 0);
std::vector<uint8_t> response(const std::vector<uint8_t>& data, uint64_t index = 0, uint64_t time = 0,
                              uint8_t control = 0x02, uint8_t pdu_type = 0x40);

}  // namespace busrectest
