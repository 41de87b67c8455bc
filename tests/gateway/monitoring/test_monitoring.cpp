#include "gateway/monitoring/monitoring.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <sstream>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "gateway/card/linkscope.h"
#include "gateway/queue/syncmappedqueue.h"
#include "gateway/system/system.h"
#include "gateway/udp/udpclient.h"
#include "tests/support/scratchdirectory.h"

using namespace boost::posix_time;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr unsigned QUEUE_SIZE = 1 << 20;

// One directory for this run's queues, removed when the test program ends.
std::string queue_path(const char* name) {
    static const testsupport::ScratchDirectory directory{"monitoring-test"};
    return directory / name;
}

std::shared_ptr<Monitoring::Queue> make_queue(const char* name) {
    return std::make_shared<Monitoring::Queue>(queue_path(name), QUEUE_SIZE);
}

// Waits up to `limit` for the next record of the queue.
bool next_record(Monitoring::Queue& queue, std::vector<char>* out,
                 std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline)
        if (queue.dequeue(*out)) return true;
    return false;
}

LifesignRecord decoded(const std::vector<char>& bytes) {
    LifesignRecord r;
    std::string error;
    EXPECT_TRUE(LifesignRecord::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                       &r, &error))
        << error;
    return r;
}

Bytes encoded(const LifesignRecord& r) {
    Bytes b(lifesign::RECORD_SIZE);
    r.encode(b.data());
    return b;
}

class OtherObservable : public Observable {};

// Sends std::cout to a string for the life of the object.
class CoutCapture {
public:
    CoutCapture() : saved(std::cout.rdbuf(text.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(saved); }
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
    std::streambuf* saved;
};

}  // namespace

TEST(UsSinceEpoch, CountsSignedMicroseconds) {
    const ptime epoch(boost::gregorian::date(1970, 1, 1));
    EXPECT_EQ(Monitoring::us_since_epoch(epoch), 0);
    EXPECT_EQ(Monitoring::us_since_epoch(epoch + microseconds(1)), 1);
    EXPECT_EQ(Monitoring::us_since_epoch(epoch - seconds(1)), -1000000);
    const ptime t(boost::gregorian::date(2026, 12, 6), hours(23) + microseconds(5));
    EXPECT_EQ(Monitoring::us_since_epoch(t), (1796598000LL) * 1000000 + 5);
}

TEST(LifesignBuild, RecordBeforeAnyNotificationCarriesDefaults) {
    Monitoring idle(0, -1, nullptr);
    const ptime created = microsec_clock::local_time();
    const Bytes b = encoded(Monitoring::make_lifesign(idle.snapshot(), 1, created));
    using namespace lifesign;
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 3), (Bytes{0xC1, 0x01, 0x43}));
    EXPECT_EQ(Bytes(b.begin() + OFF_COUNTER, b.begin() + OFF_COUNTER + 4), (Bytes{0, 0, 0, 1}));
    for (std::size_t off : {OFF_CPU_LOAD, OFF_CPU_TEMPERATURE, OFF_STORAGE_USED_PCT, OFF_RAM_USED_PCT})
        EXPECT_EQ(Bytes(b.begin() + off, b.begin() + off + 4), (Bytes{0x7F, 0xC0, 0, 0})) << off;
    for (std::size_t off = OFF_STORAGE_TOTAL; off < OFF_STORAGE_USED_PCT; ++off) EXPECT_EQ(b[off], 0);
    for (std::size_t off = OFF_RAM_TOTAL; off < OFF_RAM_USED_PCT; ++off) EXPECT_EQ(b[off], 0);
    for (std::size_t off = OFF_BUF_TOTAL; off < OFF_NET_TOTAL_ACT_DURATION; ++off) EXPECT_EQ(b[off], 0);
    for (std::size_t off = OFF_NET_ACT_LOSS_CNT; off < OFF_CARD_IS_ACTIVE + 1; ++off)
        EXPECT_EQ(b[off], 0) << off;
    for (std::size_t off = OFF_CARD_ACT_LOSS_CNT; off < RECORD_SIZE; ++off) EXPECT_EQ(b[off], 0) << off;
    const LifesignRecord r = decoded(std::vector<char>(b.begin(), b.end()));
    EXPECT_EQ(r.created_us, Monitoring::us_since_epoch(created));
    // Fresh producer records: activity dates are their creation time, durations zero.
    EXPECT_EQ(r.net_last_start_date_us, r.net_last_stop_date_us);
    EXPECT_EQ(r.card_last_act_duration_us, 0);
}

TEST(LifesignBuild, EveryFieldComesFromItsRecord) {
    Monitoring::Snapshot s;
    const ptime t0(boost::gregorian::date(2026, 12, 6), hours(23));
    s.system_stats.cpu_load = 1.5f;
    s.system_stats.cpu_temperature = 30.05f;
    s.system_stats.storage_total = 100;
    s.system_stats.storage_used = 60;
    s.system_stats.storage_available = 40;
    s.system_stats.storage_used_pct = 60.0f;
    s.system_stats.ram_total = 200;
    s.system_stats.ram_used = 50;
    s.system_stats.ram_available = 150;
    s.system_stats.ram_used_pct = 25.0f;
    s.fip_stats.sn = 0x00C0FFEE;
    s.fip_stats.buf_total = 52428800;
    s.fip_stats.buf_used = 1499;
    s.fip_stats.buf_free = 1500;
    s.fip_stats.buf_used_pct = 0.5f;
    s.fip_stats.is_active = true;
    s.fip_stats.total_act_duration = seconds(3);
    s.fip_stats.total_inact_duration = milliseconds(4);
    s.fip_stats.last_start_date = t0;
    s.fip_stats.last_stop_date = t0 - microseconds(1);
    s.fip_stats.last_act_duration = microseconds(6);
    s.fip_stats.last_inact_duration = -microseconds(7);
    s.fip_stats.act_loss_cnt = 0x12345;
    s.fip_stats.frame_rcvd_cnt = 8;
    s.fip_stats.frame_rcvd_cnt_per_sec = 9;
    s.fip_stats.bytes_rcvd_cnt_per_sec = 10;
    s.fip_stats.fcs_mode = 2;
    s.fip_stats.card_aux = 0x33;
    uint64_t* counters[] = {&s.fip_stats.status_b0_cnt,   &s.fip_stats.status_b12_cnt,
                            &s.fip_stats.status_b3_cnt,   &s.fip_stats.unknown_ctrl_cnt,
                            &s.fip_stats.fcs_err_cnt,     &s.fip_stats.pdu_type_err_cnt,
                            &s.fip_stats.length_err_cnt,  &s.fip_stats.status_b6_cnt,
                            &s.fip_stats.status_b5_cnt,   &s.fip_stats.status_b4_cnt};
    for (std::size_t i = 0; i < 10; ++i) *counters[i] = 0x0100000000000000ull * (i + 1) + i;
    s.udp_stats.is_active = true;
    s.udp_stats.total_act_duration = seconds(11);
    s.udp_stats.total_inact_duration = seconds(12);
    s.udp_stats.last_start_date = t0 + seconds(1);
    s.udp_stats.last_stop_date = t0 + seconds(2);
    s.udp_stats.act_duration = seconds(13);
    s.udp_stats.inact_duration = seconds(14);
    s.udp_stats.act_loss_cnt = 0x10002;
    s.udp_stats.pkt_rcvd_cnt = 15;
    s.udp_stats.pkt_rcvd_cnt_per_sec = 16;
    s.udp_stats.bytes_rcvd_cnt_per_sec = 17;
    s.udp_stats.pkt_sent_cnt = 18;
    s.udp_stats.pkt_sent_cnt_per_sec = 19;
    s.udp_stats.bytes_sent_cnt_per_sec = 20;
    // Not carried by the record.
    s.udp_stats.pkt_err_cnt = 0xFFFFFFFF;
    s.udp_stats.bytes_sent_cnt = 0xFFFFFFFF;
    s.fip_stats.loss_evt_cnt = 0xFFFFFFFF;
    s.fip_stats.bytes_rcvd_cnt = 0xFFFFFFFF;

    const Bytes b = encoded(Monitoring::make_lifesign(s, 0xFFFFFFFF, t0));
    using namespace lifesign;
    auto be = [&](std::size_t off, std::size_t n) {
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = (v << 8) | b[off + i];
        return v;
    };
    const int64_t t0_us = Monitoring::us_since_epoch(t0);
    EXPECT_EQ(be(OFF_COUNTER, 4), 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_CREATED, 8)), t0_us);
    EXPECT_EQ(be(OFF_SN, 4), 0x00C0FFEEu);
    EXPECT_EQ(be(OFF_CPU_LOAD, 4), 0x3FC00000u);
    EXPECT_EQ(be(OFF_STORAGE_TOTAL, 4), 100u);
    EXPECT_EQ(be(OFF_STORAGE_USED, 4), 60u);
    EXPECT_EQ(be(OFF_STORAGE_AVAILABLE, 4), 40u);
    EXPECT_EQ(be(OFF_STORAGE_USED_PCT, 4), 0x42700000u);
    EXPECT_EQ(be(OFF_RAM_TOTAL, 4), 200u);
    EXPECT_EQ(be(OFF_RAM_USED, 4), 50u);
    EXPECT_EQ(be(OFF_RAM_AVAILABLE, 4), 150u);
    EXPECT_EQ(be(OFF_RAM_USED_PCT, 4), 0x41C80000u);
    EXPECT_EQ(be(OFF_BUF_TOTAL, 4), 52429u);
    EXPECT_EQ(be(OFF_BUF_USED, 4), 1u);
    EXPECT_EQ(be(OFF_BUF_FREE, 4), 2u);
    EXPECT_EQ(be(OFF_BUF_USED_PCT, 4), 0x3F000000u);
    EXPECT_EQ(b[OFF_NET_IS_ACTIVE], 1);
    EXPECT_EQ(be(OFF_NET_TOTAL_ACT_DURATION, 8), 11000000u);
    EXPECT_EQ(be(OFF_NET_TOTAL_INACT_DURATION, 8), 12000000u);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_NET_LAST_START_DATE, 8)), t0_us + 1000000);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_NET_LAST_STOP_DATE, 8)), t0_us + 2000000);
    EXPECT_EQ(be(OFF_NET_ACT_DURATION, 8), 13000000u);
    EXPECT_EQ(be(OFF_NET_INACT_DURATION, 8), 14000000u);
    EXPECT_EQ(be(OFF_NET_ACT_LOSS_CNT, 2), 2u);
    EXPECT_EQ(be(OFF_NET_PKT_RCVD_CNT, 4), 15u);
    EXPECT_EQ(be(OFF_NET_PKT_RCVD_CNT_PER_SEC, 4), 16u);
    EXPECT_EQ(be(OFF_NET_BYTES_RCVD_CNT_PER_SEC, 4), 17u);
    EXPECT_EQ(be(OFF_NET_PKT_SENT_CNT, 4), 18u);
    EXPECT_EQ(be(OFF_NET_PKT_SENT_CNT_PER_SEC, 4), 19u);
    EXPECT_EQ(be(OFF_NET_BYTES_SENT_CNT_PER_SEC, 4), 20u);
    EXPECT_EQ(b[OFF_CARD_IS_ACTIVE], 1);
    EXPECT_EQ(be(OFF_CARD_TOTAL_ACT_DURATION, 8), 3000000u);
    EXPECT_EQ(be(OFF_CARD_TOTAL_INACT_DURATION, 8), 4000u);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_CARD_LAST_START_DATE, 8)), t0_us);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_CARD_LAST_STOP_DATE, 8)), t0_us - 1);
    EXPECT_EQ(be(OFF_CARD_LAST_ACT_DURATION, 8), 6u);
    EXPECT_EQ(static_cast<int64_t>(be(OFF_CARD_LAST_INACT_DURATION, 8)), -7);
    EXPECT_EQ(be(OFF_CARD_ACT_LOSS_CNT, 2), 0x2345u);
    EXPECT_EQ(be(OFF_CARD_FRAME_RCVD_CNT, 4), 8u);
    EXPECT_EQ(be(OFF_CARD_FRAME_RCVD_CNT_PER_SEC, 4), 9u);
    EXPECT_EQ(be(OFF_CARD_BYTES_RCVD_CNT_PER_SEC, 4), 10u);
    EXPECT_EQ(b[OFF_CARD_FCS_MODE], 2);
    EXPECT_EQ(b[OFF_CARD_AUX], 0x33);
    for (std::size_t i = 0; i < CARD_COUNTER_COUNT; ++i)
        EXPECT_EQ(be(OFF_CARD_COUNTERS + 8 * i, 8), *counters[i]) << i;
    for (std::size_t off : ZERO_FIELDS) EXPECT_EQ(be(off, ZERO_FIELD_SIZE), 0u) << off;
}

TEST(MonitoringThreads, NoThreadWithoutPeriods) {
    for (long stats_per : {-1L, 0L}) {
        Monitoring m(0, stats_per, make_queue("none.bin"));
        EXPECT_FALSE(m.lifesign_thread_started());
        EXPECT_FALSE(m.dashboard_thread_started());
        EXPECT_EQ(m.lifesign_count(), 0u);
    }
}

TEST(MonitoringThreads, LifesignsNumberedFromOneAtThePeriod) {
    auto queue = make_queue("lifesign.bin");
    std::vector<LifesignRecord> records;
    {
        Monitoring m(500, -1, queue);
        EXPECT_TRUE(m.lifesign_thread_started());
        std::vector<char> bytes;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(next_record(*queue, &bytes));
            EXPECT_EQ(bytes.size(), lifesign::RECORD_SIZE);
            records.push_back(decoded(bytes));
        }
    }
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(records[i].counter, i + 1);
    // At least one period between records; a generous ceiling for slow sanitizer runs.
    for (int i = 1; i < 3; ++i) {
        const int64_t gap_us = records[i].created_us - records[i - 1].created_us;
        EXPECT_GE(gap_us, 500000);
        EXPECT_LT(gap_us, 5000000);
    }
}

TEST(MonitoringThreads, StopEndsAnAlmostEndlessPeriodAtOnce) {
    auto queue = make_queue("endless.bin");
    CoutCapture screen;
    auto m = std::make_unique<Monitoring>(4294967295u, 3600000L, queue);
    std::vector<char> bytes;
    ASSERT_TRUE(next_record(*queue, &bytes));
    EXPECT_EQ(decoded(bytes).counter, 1u);
    const auto before = std::chrono::steady_clock::now();
    m.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_FALSE(queue->dequeue(bytes)) << "only the first record was due";
}

TEST(MonitoringThreads, DashboardEveryMillisecondAndImmediateDestruction) {
    CoutCapture screen;
    {
        Monitoring m(0, 1, nullptr);
        EXPECT_TRUE(m.dashboard_thread_started());
        EXPECT_FALSE(m.lifesign_thread_started());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    { Monitoring dies_at_once(1, 1, nullptr); }
    const std::string out = screen.str();
    const std::string header = "\033[H\033[JApp is running... press Ctrl + C to exit.\n\n";
    ASSERT_EQ(out.compare(0, header.size(), header), 0);
    EXPECT_NE(out.find(header, header.size()), std::string::npos) << "the screen is redrawn";
    EXPECT_NE(out.find("==> LIFESIGN INFOS "), std::string::npos);
}

TEST(MonitoringUpdate, CopiesByTypeAndIgnoresOthers) {
    auto m = std::make_shared<Monitoring>(0, -1, nullptr);
    const Monitoring::Snapshot before = m->snapshot();

    m->update(nullptr);
    OtherObservable other;
    m->update(&other);
    Monitoring::Snapshot after = m->snapshot();
    EXPECT_EQ(after.udp_stats.init_date, before.udp_stats.init_date);
    EXPECT_EQ(after.fip_stats.init_date, before.fip_stats.init_date);
    EXPECT_TRUE(after.system_stats.start_date.is_not_a_date_time());

    auto queue = make_queue("update.bin");
    auto sender = std::make_shared<UDPClient>("127.0.0.1", 9, false, 500, 8, queue, stdout);
    m->update(sender.get());
    after = m->snapshot();
    EXPECT_EQ(after.udp_stats.ip, "127.0.0.1");
    EXPECT_EQ(after.udp_stats.port, 9);

    auto card = std::make_shared<Linkscope>(stdout, nullptr);
    m->update(card.get());
    EXPECT_EQ(m->snapshot().fip_stats.init_date, card->stats().init_date);

    auto host = std::make_shared<System>(stdout);
    host->attach(m);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m->snapshot().system_stats.ram_total == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    after = m->snapshot();
    EXPECT_GT(after.system_stats.ram_total, 0u);
    EXPECT_FALSE(after.system_stats.start_date.is_not_a_date_time());
    EXPECT_EQ(after.udp_stats.ip, "127.0.0.1") << "a host update leaves the network copy alone";
}

TEST(MonitoringThreads, LifesignThreadOutlivesAFullQueue) {
    auto queue = std::make_shared<Monitoring::Queue>(queue_path("full.bin"), 16384);
    Monitoring m(1, -1, queue);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (queue->dropped_count() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(queue->dropped_count(), 0u) << "the queue never filled";
    const uint32_t counter_when_full = m.lifesign_count();
    while (m.lifesign_count() < counter_when_full + 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(m.lifesign_count(), counter_when_full + 5) << "records are still built";

    // Once room is made, records are delivered again: past the old ones comes a newer one.
    std::vector<char> bytes;
    bool delivered_again = false;
    while (!delivered_again && std::chrono::steady_clock::now() < deadline && next_record(*queue, &bytes))
        delivered_again = decoded(bytes).counter > counter_when_full;
    EXPECT_TRUE(delivered_again);
}
