// Card statistics: activity watchdog, per-second figures, buffer figures, notifications.
#include <atomic>
#include <limits>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/gateway/card/cardtest.h"

using namespace linkscope;
using namespace std::chrono_literals;
using boost::posix_time::microsec_clock;
using boost::posix_time::milliseconds;
using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace {

class CountingObserver : public Observer {
public:
    void update(Observable* source) override {
        auto* card = dynamic_cast<Linkscope*>(source);
        ASSERT_NE(card, nullptr);
        const FIPStats s = card->stats();
        last_sn = s.sn;
        rate_sum += s.frame_rcvd_cnt_per_sec;
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<uint32_t> rate_sum{0};
    std::atomic<uint32_t> last_sn{0};
};

class CardStats : public CardTest {};

TEST_F(CardStats, FreshRecordDatesAreEqualAndDurationsZero) {
    const ptime before = microsec_clock::local_time();
    const FIPStats s;
    const ptime after = microsec_clock::local_time();
    EXPECT_EQ(s.last_start_date, s.init_date);
    EXPECT_EQ(s.last_stop_date, s.init_date);
    EXPECT_GE(s.init_date, before);
    EXPECT_LE(s.init_date, after);
    EXPECT_EQ(s.last_act_duration, time_duration(0, 0, 0));
    EXPECT_EQ(s.total_inact_duration, time_duration(0, 0, 0));
    EXPECT_FALSE(s.is_active);
    EXPECT_EQ(s.frame_rcvd_cnt, 0u);
    EXPECT_EQ(s.lost_frame_cnt, 0u);
}

TEST_F(CardStats, WatchdogLeavesAClosedCardAlone) {
    auto card = make_card();
    const FIPStats initial = card->stats();
    std::this_thread::sleep_for(1300ms);
    const FIPStats later = card->stats();
    EXPECT_FALSE(later.is_active);
    EXPECT_EQ(later.act_loss_cnt, 0u);
    EXPECT_EQ(later.last_inact_duration, time_duration(0, 0, 0));
    EXPECT_EQ(later.last_stop_date, initial.last_stop_date);
    // Nothing changed, so nothing was published either.
    EXPECT_FALSE(card->has_changed());
}

TEST_F(CardStats, SingleBlockThenSilence) {
    auto device = install(1);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    const ptime pushed = microsec_clock::local_time();
    device->push_block(block_of({id_dat_record(1)}));
    ASSERT_TRUE(eventually([&] { return card->stats().is_active; }));
    const FIPStats active = card->stats();
    EXPECT_GE(active.last_start_date, pushed);
    EXPECT_GE(active.last_inact_duration, active.last_start_date - active.init_date - milliseconds(1));

    ASSERT_TRUE(eventually([&] { return !card->stats().is_active; }, 10s));
    const ptime seen = microsec_clock::local_time();
    const FIPStats silent = card->stats();
    // Eleven ticks of 100 ms after the block, then the stop is dated one second back.
    EXPECT_GE(seen - pushed, milliseconds(1000));
    EXPECT_GE(silent.last_stop_date, pushed);
    EXPECT_LE(silent.last_stop_date, seen - boost::posix_time::seconds(1));
    EXPECT_EQ(silent.act_loss_cnt, 1u);
    EXPECT_EQ(silent.last_act_duration, silent.last_stop_date - silent.last_start_date);
    EXPECT_EQ(silent.total_act_duration, silent.last_act_duration);

    // While silent the inactive durations keep growing with the watchdog ticks.
    std::this_thread::sleep_for(300ms);
    const FIPStats later = card->stats();
    EXPECT_GT(later.last_inact_duration, silent.last_inact_duration);
    EXPECT_EQ(later.act_loss_cnt, 1u);
    EXPECT_GE(later.total_inact_duration, later.last_inact_duration);
    EXPECT_EQ(later.total_inact_duration - later.last_inact_duration,
              active.total_inact_duration);  // the finished silent period before the block

    // Activity resumes: the silent period is closed at the new start.
    device->push_block(block_of({id_dat_record(2)}));
    ASSERT_TRUE(eventually([&] { return card->stats().is_active; }));
    const FIPStats resumed = card->stats();
    EXPECT_EQ(resumed.last_inact_duration, resumed.last_start_date - resumed.last_stop_date);
    EXPECT_EQ(resumed.total_inact_duration, active.total_inact_duration + resumed.last_inact_duration);
    EXPECT_EQ(resumed.act_loss_cnt, 1u);
    EXPECT_EQ(card->stop(), 0);
}

struct RateCase {
    const char* name;
    uint32_t before;
    uint32_t after;
    uint32_t expected;
};

class PerSecondRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(PerSecondRates, AreModuloTwoToThe32) {
    const RateCase& c = GetParam();
    FIPStats s;
    Linkscope::PerSecondBaseline baseline;
    BufferUsage usage;
    s.frame_rcvd_cnt = c.before;
    s.bytes_rcvd_cnt = c.before;
    Linkscope::refresh_stats(s, baseline, usage);
    s.frame_rcvd_cnt = c.after;
    s.bytes_rcvd_cnt = c.after;
    Linkscope::refresh_stats(s, baseline, usage);
    EXPECT_EQ(s.frame_rcvd_cnt_per_sec, c.expected);
    EXPECT_EQ(s.bytes_rcvd_cnt_per_sec, c.expected);
    EXPECT_EQ(baseline.frames, c.after);
}

INSTANTIATE_TEST_SUITE_P(Counters, PerSecondRates,
                         ::testing::Values(RateCase{"steady", 100, 350, 250}, RateCase{"idle", 7, 7, 0},
                                           RateCase{"wrap", std::numeric_limits<uint32_t>::max(), 4, 5},
                                           RateCase{"wrap_to_zero", 4294967290u, 0, 6}),
                         [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST(BufferFigures, ZeroTotalTakesThePercentagesTheQueueKept) {
    FIPStats s;
    Linkscope::PerSecondBaseline baseline;
    BufferUsage usage;
    usage.total = 1000;
    usage.used = 250;
    usage.free = 750;
    Linkscope::refresh_stats(s, baseline, usage);
    EXPECT_FLOAT_EQ(s.buf_used_pct, 25.0f);
    EXPECT_FLOAT_EQ(s.buf_free_pct, 75.0f);

    BufferUsage empty;
    empty.used_pct = 25.0f;
    empty.free_pct = 75.0f;
    Linkscope::refresh_stats(s, baseline, empty);
    EXPECT_EQ(s.buf_total, 0u);
    EXPECT_FLOAT_EQ(s.buf_used_pct, 25.0f);
    EXPECT_FLOAT_EQ(s.buf_free_pct, 75.0f);
}

TEST_F(CardStats, PublishesOncePerSecondWithRatesAndBufferFigures) {
    auto device = install(1);
    auto card = make_card();
    auto observer = std::make_shared<CountingObserver>();
    card->attach(observer);
    ASSERT_EQ(card->start(0), 0);
    for (uint64_t i = 1; i <= 30; ++i) device->push_block(block_of({id_dat_record(i)}));
    ASSERT_TRUE(eventually([&] { return observer->calls > 0 && card->stats().buf_total != 0; }, 5s));
    EXPECT_EQ(observer->last_sn, testsupport::TestDevice::default_infos().sn);
    // Every second that saw records published its figure.
    ASSERT_TRUE(eventually([&] { return observer->rate_sum == 30u; }, 5s)) << observer->rate_sum;

    const FIPStats s = card->stats();
    EXPECT_EQ(s.buf_total, QUEUE_SIZE);
    EXPECT_EQ(s.buf_used + s.buf_free, s.buf_total);
    EXPECT_GT(s.buf_used, 0u);
    EXPECT_NEAR(s.buf_used_pct, s.buf_used * 100.0 / s.buf_total, 1e-3);
    EXPECT_NEAR(s.buf_used_pct + s.buf_free_pct, 100.0, 1e-3);
    EXPECT_EQ(card->stop(), 0);
}

}  // namespace
