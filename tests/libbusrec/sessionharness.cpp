#include "tests/libbusrec/sessionharness.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <thread>

#include "common/driver/protocol.h"
#include "platform/device.h"

namespace busrectest {

using linkscope::LINKSCOPE_IOCTL_WAIT_EVENTS;

namespace {
std::mutex registry_mutex;
std::map<busrec_sess*, SessionHarness*> registry;
thread_local SessionHarness* constructing = nullptr;  // the reset handler runs before init returns
}  // namespace

SessionHarness::SessionHarness(const HarnessOptions& options)
    : number_(options.number), card_(std::make_shared<testsupport::TestDevice>()) {
    busrec_init();
    platform::install_device(number_, card_);
    device_ = busrec_device_open(static_cast<uint8_t>(number_));
    if (!device_) return;
    busrec_sess_cfg cfg{};
    cfg.sync_id = options.sync_id;
    cfg.device = device_;
    cfg.user1 = 0x11111111;
    cfg.user2 = 0x22222222;
    cfg.data_handler = options.data_handler ? &SessionHarness::on_data : nullptr;
    cfg.diag_handler = options.diag_handler ? &SessionHarness::on_diag : nullptr;
    cfg.error_handler = &SessionHarness::on_error;
    cfg.reset_handler = &SessionHarness::on_reset;
    constructing = this;
    session_ = busrec_sess_init(&cfg);
    constructing = nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (session_) registry[session_] = this;
}

SessionHarness::~SessionHarness() {
    exit_session();
    if (device_) busrec_device_close(device_);
    platform::remove_device(number_);
}

int SessionHarness::exit_session() {
    if (!session_) return 0;
    busrec_sess* sess = session_;
    const int result = busrec_sess_exit(sess);
    if (result == 0 || errno != EDEADLK) {
        std::lock_guard<std::mutex> lock(registry_mutex);
        registry.erase(sess);
        session_ = nullptr;
    }
    return result;
}

SessionHarness* SessionHarness::of(busrec_sess* sess) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = registry.find(sess);
    return it == registry.end() ? nullptr : it->second;
}

void SessionHarness::on_reset(busrec_sess* sess) {
    SessionHarness* self = constructing ? constructing : of(sess);
    if (!self) return;
    ++self->reset_calls_;
    self->wait_requests_at_reset_ = self->card_->count(LINKSCOPE_IOCTL_WAIT_EVENTS);
}

void SessionHarness::on_error(busrec_sess* sess, int) {
    if (SessionHarness* self = of(sess)) ++self->error_calls_;
}

void SessionHarness::on_data(busrec_sess* sess, const busrec_event* event) {
    SessionHarness* self = of(sess);
    if (!self) return;
    SeenEvent seen{*event, std::vector<uint8_t>(event->frame, event->frame + event->frame_length), {}};
    if (event->data) seen.data.assign(event->data, event->data + event->data_length);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->events_.push_back(std::move(seen));
}

void SessionHarness::on_diag(busrec_sess* sess, const busrec_report*) {
    if (SessionHarness* self = of(sess)) ++self->diag_calls_;
}

bool SessionHarness::deliver_block(const std::vector<uint8_t>& block) {
    card_->push_block(block);
    ++blocks_delivered_;
    // The next wait is issued once the block has been analysed.
    return card_->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, blocks_delivered_ + 1, std::chrono::seconds(10));
}

bool SessionHarness::deliver(const std::vector<std::vector<uint8_t>>& records) {
    testsupport::BlockBuilder builder;
    for (const auto& record : records)
        if (!builder.add(record)) return false;
    return deliver_block(builder.build());
}

std::unique_ptr<busrec_report> SessionHarness::report() const {
    std::unique_ptr<busrec_report> out(new busrec_report());
    if (session_) busrec_sess_report_get(session_, out.get());
    return out;
}

std::vector<SeenEvent> SessionHarness::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<uint8_t> id_frame(uint8_t control, uint16_t identifier, uint64_t index, uint64_t time) {
    return testsupport::make_record(
        testsupport::make_frame(control, {static_cast<uint8_t>(identifier >> 8), static_cast<uint8_t>(identifier)}),
        index, time);
}

std::vector<uint8_t> response(const std::vector<uint8_t>& data, uint64_t index, uint64_t time, uint8_t control,
                              uint8_t pdu_type) {
    std::vector<uint8_t> body(data.size() + 2);
    body[0] = pdu_type;
    body[1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), body.begin() + 2);
    return testsupport::make_record(testsupport::make_frame(control, body), index, time);
}

}  // namespace busrectest
