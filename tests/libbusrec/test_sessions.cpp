#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "platform/device.h"
#include "tests/libbusrec/sessionharness.h"

using namespace busrectest;
using linkscope::LINKSCOPE_IOCTL_RELEASE_WAIT;
using linkscope::LINKSCOPE_IOCTL_SET_EPOCH;
using linkscope::LINKSCOPE_IOCTL_SET_SNIFFER;
using linkscope::LINKSCOPE_IOCTL_WAIT_EVENTS;

namespace {

// Copies a (packed) field: the comparison macros bind references.
template <class T>
T val(T x) {
    return x;
}


std::vector<uint32_t> sniffer_inputs(const testsupport::TestDevice& card) {
    std::vector<uint32_t> out;
    for (const auto& r : card.requests())
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER && r.input.size() == 4) out.push_back(linkscope::load_le32(r.input.data()));
    return out;
}

TEST(Session, InitCallsResetBeforeItsThreadsAndFillsTheInfos) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    EXPECT_EQ(h.reset_calls(), 1);
    EXPECT_EQ(h.wait_requests_at_reset(), 0u);
    EXPECT_TRUE(h.card().wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, std::chrono::seconds(5)));
    const busrec_sess_infos* infos = h.session()->infos;
    EXPECT_EQ(val(infos->cfg.sync_id), 0);  // as passed, even when 0
    EXPECT_EQ(val(infos->cfg.device), h.device());
    EXPECT_EQ(val(infos->cfg.user1), 0x11111111u);
    EXPECT_EQ(val(infos->cfg.user2), 0x22222222u);
    const auto expected = testsupport::TestDevice::default_infos();
    EXPECT_EQ(val(infos->sn), val(expected.sn));
    EXPECT_EQ(val(infos->drv_version), val(expected.drv_version));
    EXPECT_EQ(val(infos->info_ext1), val(expected.info_ext1));
    EXPECT_EQ(val(infos->version), 0x00010000u);
    EXPECT_EQ(val(infos->release), 0x0017020Eu);
    EXPECT_NE(val(h.device()->bound), 0);
    EXPECT_EQ(val(h.report()->state), BUSREC_STATE_STOPPED);
    EXPECT_EQ(h.card().count(LINKSCOPE_IOCTL_SET_SNIFFER), 0u);
}

TEST(Session, ExitReleasesTheWaitCallsResetAndUnbinds) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.card().wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, std::chrono::seconds(5)));
    EXPECT_EQ(h.exit_session(), 0);
    EXPECT_EQ(h.reset_calls(), 2);
    EXPECT_GE(h.card().count(LINKSCOPE_IOCTL_RELEASE_WAIT), 1u);
    EXPECT_EQ(val(h.device()->bound), 0);
    EXPECT_TRUE(h.card().is_open());  // the device stays open
    EXPECT_EQ(h.error_calls(), 0);
}

TEST(Session, CardFailingEveryWaitIsGivenUpAndAskedNothingMore) {
    SessionHarness h;
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    h.card().fail_request(LINKSCOPE_IOCTL_WAIT_EVENTS);
    h.card().push_block(std::vector<uint8_t>(16));  // ends the pending wait short
    ASSERT_TRUE(h.wait_for_report([](const busrec_report& r) { return r.state == BUSREC_STATE_CARD_LOST; }));
    const std::size_t requests = h.card().requests().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(h.card().requests().size(), requests) << "the card is asked nothing after it was given up";
    EXPECT_EQ(h.error_calls(), 1);
    EXPECT_EQ(busrec_sess_stop(h.session()), 0);
    EXPECT_EQ(h.exit_session(), 0);
    EXPECT_EQ(h.card().requests().size(), requests) << "not even by the stop and the exit";
    EXPECT_EQ(h.reset_calls(), 2);
    EXPECT_EQ(h.error_calls(), 1);
}

TEST(Session, StartStopSequenceAndReportHead) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    errno = 0;
    EXPECT_EQ(busrec_sess_start(h.session()), -1);
    EXPECT_EQ(errno, BUSREC_E_RUNNING);

    auto running = h.report();
    EXPECT_EQ(val(running->state), BUSREC_STATE_RUNNING);
    const auto requests = h.card().requests();
    uint64_t epoch = 0;
    bool epoch_before_sniffer = false;
    for (const auto& r : requests) {
        if (r.code == LINKSCOPE_IOCTL_SET_EPOCH) epoch = linkscope::load_le64(r.input.data());
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER) epoch_before_sniffer = epoch != 0;
    }
    EXPECT_TRUE(epoch_before_sniffer);
    EXPECT_EQ(val(running->start_time), epoch);

    ASSERT_EQ(busrec_sess_stop(h.session()), 0);
    auto stopped = h.report();
    EXPECT_EQ(val(stopped->state), BUSREC_STATE_STOPPED);
    EXPECT_GE(val(stopped->stop_time), val(stopped->start_time));
    EXPECT_EQ(val(stopped->elapsed), val(stopped->stop_time - stopped->start_time));
    EXPECT_EQ(busrec_sess_stop(h.session()), 0);
    EXPECT_EQ(val(sniffer_inputs(h.card())), (std::vector<uint32_t>{1, 0}));
}

TEST(Session, FailedEpochOrSnifferGiveEfault) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    h.card().fail_request(LINKSCOPE_IOCTL_SET_EPOCH);
    errno = 0;
    EXPECT_EQ(busrec_sess_start(h.session()), -1);
    EXPECT_EQ(errno, EFAULT);
    h.card().fail_request(LINKSCOPE_IOCTL_SET_EPOCH, false);
    h.card().fail_request(LINKSCOPE_IOCTL_SET_SNIFFER);
    errno = 0;
    EXPECT_EQ(busrec_sess_start(h.session()), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(val(h.report()->state), BUSREC_STATE_START_FAILED);
    // The running flag set for the start is undone with it: events are not handed on.
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x0101, 1)}));
    EXPECT_TRUE(h.events().empty());
    EXPECT_EQ(val(h.report()->state), BUSREC_STATE_START_FAILED);

    h.card().fail_request(LINKSCOPE_IOCTL_SET_SNIFFER, false);
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    h.card().fail_request(LINKSCOPE_IOCTL_SET_SNIFFER);
    errno = 0;
    EXPECT_EQ(busrec_sess_stop(h.session()), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(val(h.report()->state), BUSREC_STATE_RUNNING);  // still running
    h.card().fail_request(LINKSCOPE_IOCTL_SET_SNIFFER, false);
}

TEST(Session, DataHandlerOnlyWhileRunningButEventsAlwaysAnalysed) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x0101, 1)}));
    EXPECT_TRUE(h.events().empty());
    EXPECT_EQ(val(h.report()->correct_events), 1u);

    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x0202, 2), response({1, 2, 3}, 3)}));
    ASSERT_EQ(busrec_sess_stop(h.session()), 0);
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x0303, 4)}));

    const auto events = h.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(val(events[0].event.identifier), 0x0202);
    EXPECT_EQ(val(events[0].event.evt_index), 2u);
    EXPECT_EQ(val(events[1].event.identifier), 0x0202);  // a response carries the last identifier
    EXPECT_EQ(val(events[1].event.frame_class), unsigned(BUSREC_CLASS_RESPONSE));
    EXPECT_EQ(val(events[1].data), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(val(h.report()->correct_events), 3u);  // the start cleared the report; analysed while stopped too
}

TEST(Session, StatsClearKeepsHeadStationsAndSequenceResult) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x1405, 1, 500), response({0, 0, 0, 0, 0x21}, 2, 510),
                           id_frame(0x77, 0x0000, 3)}));
    auto before = h.report();
    ASSERT_EQ(val(before->stations[5].present), 1u);
    ASSERT_GT(val(before->correct_events), 0u);
    ASSERT_EQ(busrec_sess_stats_clear(h.session()), 0);
    auto after = h.report();
    const auto* b = reinterpret_cast<const uint8_t*>(before.get());
    const auto* a = reinterpret_cast<const uint8_t*>(after.get());
    for (std::size_t i = 36; i < 292; ++i) ASSERT_EQ(a[i], 0) << "byte " << i;
    EXPECT_EQ(std::memcmp(a, b, 36), 0);
    EXPECT_EQ(std::memcmp(a + 292, b + 292, sizeof(busrec_report) - 292), 0);
}

TEST(Session, DiagnosticHandlerOnlyWhileRunning) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    // period_code 6 on every event: a diagnostic step every 20 ms once the first second is over.
    std::vector<std::vector<uint8_t>> records;
    uint64_t t = 1000;
    for (int cycle = 0; cycle < 6; ++cycle) {
        records.push_back(id_frame(0x03, 0x9080, 0, t));
        records.push_back(id_frame(0x03, 0x0100, 0, t + 100));
        t += 10000;
    }
    for (auto& r : records) linkscope::store_be16(r.data() + linkscope::EVT_OFF_STATUS, linkscope::make_status(2, 6));
    ASSERT_TRUE(h.deliver(records));
    // A published cycle shows that diagnostic steps ran while the session was stopped.
    ASSERT_TRUE(h.wait_for_report([](const busrec_report& r) { return r.cycle_count > 0; }));
    EXPECT_EQ(h.diag_calls(), 0);
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    ASSERT_TRUE(h.deliver({records[0], records[1]}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (h.diag_calls() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(h.diag_calls(), 0);
    // The start cleared the report; the result is published again.
    EXPECT_TRUE(h.wait_for_report([](const busrec_report& r) { return r.cycle_count > 0; }));
}

TEST(Session, TwoCardsKeepTheirOwnContinuityAndIdentifier) {
    HarnessOptions second;
    second.number = 2;
    SessionHarness one;
    SessionHarness two(second);
    ASSERT_NE(one.session(), nullptr);
    ASSERT_NE(two.session(), nullptr);
    ASSERT_TRUE(one.deliver({id_frame(0x03, 0x1405, 1)}));
    ASSERT_TRUE(two.deliver({id_frame(0x03, 0x1406, 1)}));
    ASSERT_TRUE(one.deliver({response({0, 0, 0, 0, 0}, 2)}));
    ASSERT_TRUE(two.deliver({response({0, 0, 0, 0, 0}, 2)}));
    auto r1 = one.report();
    auto r2 = two.report();
    EXPECT_EQ(val(r1->lost_frames), 0u);
    EXPECT_EQ(val(r2->lost_frames), 0u);
    EXPECT_EQ(val(r1->stations[5].present), 1u);
    EXPECT_EQ(val(r1->stations[6].present), 0u);
    EXPECT_EQ(val(r2->stations[6].present), 1u);
    EXPECT_EQ(val(r2->stations[5].present), 0u);
}

std::vector<std::vector<uint8_t>> indexed_frames(uint64_t first, uint64_t last) {
    std::vector<std::vector<uint8_t>> out;
    for (uint64_t i = first; i <= last; ++i) out.push_back(id_frame(0x03, 0x0100, i));
    return out;
}

TEST(Session, DeviceResetBetweenRunsKeepsTheLostFramesTrue) {
    SessionHarness h;
    ASSERT_NE(h.session(), nullptr);
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    ASSERT_TRUE(h.deliver(indexed_frames(1, 50)));
    ASSERT_EQ(busrec_sess_stop(h.session()), 0);
    ASSERT_EQ(busrec_device_reset(h.device()), 0);
    EXPECT_EQ(h.card().count(linkscope::LINKSCOPE_IOCTL_RESET), 1u);

    // The card counts from 1 again; then a real gap of 4 frames (20 to 25).
    ASSERT_EQ(busrec_sess_start(h.session()), 0);
    auto after_reset = indexed_frames(1, 20);
    after_reset.push_back(id_frame(0x03, 0x0100, 25));
    ASSERT_TRUE(h.deliver(after_reset));
    auto r = h.report();
    EXPECT_EQ(val(r->lost_frames), 5u);
    EXPECT_EQ(val(r->error_events), 5u);
    EXPECT_EQ(val(r->correct_events), 21u);

    // A restart in the middle of a run, and an index seen twice, add nothing either.
    ASSERT_TRUE(h.deliver({id_frame(0x03, 0x0100, 1), id_frame(0x03, 0x0100, 2), id_frame(0x03, 0x0100, 2)}));
    r = h.report();
    EXPECT_EQ(val(r->lost_frames), 5u);
    EXPECT_EQ(val(r->error_events), 5u);
    EXPECT_EQ(val(r->correct_events), 24u);
    EXPECT_EQ(h.events().size(), 74u);
}

std::atomic<int> handler_stop_result{-2};
std::atomic<uint64_t> handler_report_count{0};

void stop_from_handler(busrec_sess* sess, const busrec_event*) {
    std::unique_ptr<busrec_report> r(new busrec_report());
    if (busrec_sess_report_get(sess, r.get()) == 0) handler_report_count = r->correct_events;
    handler_stop_result = busrec_sess_stop(sess);
}

std::atomic<int> exit_attempt_result{0};
std::atomic<int> exit_attempt_errno{0};

void exit_from_handler(busrec_sess* sess, const busrec_event*) {
    exit_attempt_result = busrec_sess_exit(sess);
    exit_attempt_errno = errno;
}
void ignore_reset(busrec_sess*) {}
void ignore_error(busrec_sess*, int) {}

TEST(Session, ExitFromItsOwnHandlerIsRefused) {
    auto card = std::make_shared<testsupport::TestDevice>();
    platform::install_device(12, card);
    busrec_device* dev = busrec_device_open(12);
    ASSERT_NE(dev, nullptr);
    busrec_sess_cfg cfg{};
    cfg.device = dev;
    cfg.data_handler = exit_from_handler;
    cfg.reset_handler = ignore_reset;
    cfg.error_handler = ignore_error;
    busrec_sess* sess = busrec_sess_init(&cfg);
    ASSERT_NE(sess, nullptr);
    ASSERT_EQ(busrec_sess_start(sess), 0);
    testsupport::BlockBuilder block;
    block.add(id_frame(0x03, 0x0100, 1));
    card->push_block(block.build());
    ASSERT_TRUE(card->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 2, std::chrono::seconds(10)));
    EXPECT_EQ(exit_attempt_result, -1);
    EXPECT_EQ(exit_attempt_errno, EDEADLK);
    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(busrec_device_close(dev), 0);
    platform::remove_device(12);
}

TEST(Session, HandlerMayReadTheReportAndStopTheSession) {
    auto card = std::make_shared<testsupport::TestDevice>();
    platform::install_device(13, card);
    busrec_device* dev = busrec_device_open(13);
    ASSERT_NE(dev, nullptr);
    busrec_sess_cfg cfg{};
    cfg.device = dev;
    cfg.data_handler = stop_from_handler;
    cfg.reset_handler = ignore_reset;
    cfg.error_handler = ignore_error;
    busrec_sess* sess = busrec_sess_init(&cfg);
    ASSERT_NE(sess, nullptr);
    ASSERT_EQ(busrec_sess_start(sess), 0);
    testsupport::BlockBuilder block;
    block.add(id_frame(0x03, 0x0100, 1));
    block.add(id_frame(0x03, 0x0100, 2));
    card->push_block(block.build());
    ASSERT_TRUE(card->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 2, std::chrono::seconds(10)));
    EXPECT_EQ(handler_stop_result, 0);
    EXPECT_EQ(handler_report_count, 1u);  // only the first event was handed on
    std::unique_ptr<busrec_report> r(new busrec_report());
    ASSERT_EQ(busrec_sess_report_get(sess, r.get()), 0);
    EXPECT_EQ(val(r->state), BUSREC_STATE_STOPPED);
    EXPECT_EQ(val(r->correct_events), 2u);
    EXPECT_EQ(busrec_sess_exit(sess), 0);
    EXPECT_EQ(busrec_device_close(dev), 0);
    platform::remove_device(13);
}

}  // namespace
