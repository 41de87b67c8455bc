// Finding, listing, starting and stopping cards.
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/epoch.h"
#include "tests/gateway/card/cardtest.h"

using namespace linkscope;
using namespace std::chrono_literals;
using testsupport::TestDevice;

namespace {

class CardControl : public CardTest {};

TEST_F(CardControl, IsAvailableSearchesOrChecksOneIndex) {
    EXPECT_FALSE(Linkscope::is_available(nullptr));
    int index = -1;
    EXPECT_FALSE(Linkscope::is_available(&index));
    EXPECT_EQ(index, -1);

    auto third = install(3);
    auto fifth = install(5);
    index = -1;
    EXPECT_TRUE(Linkscope::is_available(&index));
    EXPECT_EQ(index, 2);
    index = 4;
    EXPECT_TRUE(Linkscope::is_available(&index));
    EXPECT_EQ(index, 4);
    index = 7;
    EXPECT_FALSE(Linkscope::is_available(&index));
    EXPECT_EQ(index, 7);
    index = INT_MAX;
    EXPECT_FALSE(Linkscope::is_available(&index));

    // Probing sends nothing and leaves the cards closed.
    EXPECT_TRUE(third->requests().empty());
    EXPECT_TRUE(fifth->requests().empty());
    EXPECT_FALSE(third->is_open());
}

TEST_F(CardControl, IsAvailableSkipsACardHeldElsewhere) {
    install(1);
    install(2);
    platform::DeviceHandle held = platform::device_open("\\\\.\\LINKSCOPE1");
    ASSERT_NE(held, platform::INVALID_DEVICE_HANDLE);
    int index = -1;
    EXPECT_TRUE(Linkscope::is_available(&index));
    EXPECT_EQ(index, 1);
    platform::device_close(held);
}

TEST_F(CardControl, ListWithoutCards) {
    testing::internal::CaptureStdout();
    Linkscope::list();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "no device found\n");
}

TEST_F(CardControl, ListPrintsEveryCardByteForByte) {
    device_infos many_bars = TestDevice::default_infos();
    many_bars.index = 3;
    many_bars.bar_cnt = 9;  // more than the record holds: only 6 are printed
    for (int i = 0; i < DEVICE_INFOS_BAR_COUNT; ++i) {
        many_bars.bar_bsz[i] = 1000u + i;
        many_bars.bar_base[i] = 0xA0000000ull + i;
    }
    install(2);
    install(4)->fail_request(LINKSCOPE_IOCTL_GET_INFOS);
    install(16, many_bars);

    testing::internal::CaptureStdout();
    errno = 0;
    Linkscope::list();
    const int listing_errno = errno;
    const std::string out = testing::internal::GetCapturedStdout();

    std::string expected =
        "*** Linkscope [1]\n"
        "  index       = 0\n"
        "  sn          = 0x4c530001\n"
        "  vid         = 0x10ee\n"
        "  did         = 0x7011\n"
        "  ssvid       = 0x10ee\n"
        "  ssdid       = 0x0007\n"
        "  bar_cnt     = 2\n"
        "  bar_bsz[0]  = 4096\n"
        "  bar_base[0] = 0x0f7d00000\n"
        "  bar_bsz[1]  = 1048576\n"
        "  bar_base[1] = 0x0f7c00000\n"
        "  irq_number  = 17\n"
        "  drv_version = 0x00010203\n"
        "*** Linkscope [2]\n"
        "  index       = 0\n"
        "  sn          = 0x00000000\n"
        "  vid         = 0x0000\n"
        "  did         = 0x0000\n"
        "  ssvid       = 0x0000\n"
        "  ssdid       = 0x0000\n"
        "  bar_cnt     = 0\n"
        "  irq_number  = 0\n"
        "  drv_version = 0x00000000\n"
        "*** Linkscope [3]\n"
        "  index       = 3\n"
        "  sn          = 0x4c530001\n"
        "  vid         = 0x10ee\n"
        "  did         = 0x7011\n"
        "  ssvid       = 0x10ee\n"
        "  ssdid       = 0x0007\n"
        "  bar_cnt     = 9\n";
    for (int i = 0; i < DEVICE_INFOS_BAR_COUNT; ++i) {
        expected += "  bar_bsz[" + std::to_string(i) + "]  = " + std::to_string(1000 + i) + "\n";
        expected += "  bar_base[" + std::to_string(i) + "] = 0x0a000000" + std::to_string(i) + "\n";
    }
    expected +=
        "  irq_number  = 17\n"
        "  drv_version = 0x00010203\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(listing_errno, EFAULT);
    // Every listed card was closed again.
    int index = 1;
    EXPECT_TRUE(Linkscope::is_available(&index));
}

TEST_F(CardControl, StartSendsTheStartSequenceAndStopReleases) {
    device_infos infos = TestDevice::default_infos();
    infos.sn = 0xCAFE0042;
    infos.info_ext2 = 0x123456F1;
    auto device = install(1, infos);
    auto card = make_card();

    const uint64_t before = epoch_microseconds();
    ASSERT_EQ(card->start(0), 0);
    const uint64_t after = epoch_microseconds();
    EXPECT_TRUE(card->opened());
    const uint32_t card_sn = card->infos().sn;  // a packed field cannot bind to a reference
    EXPECT_EQ(card_sn, 0xCAFE0042u);
    const FIPStats stats = card->stats();
    EXPECT_EQ(stats.sn, 0xCAFE0042u);
    EXPECT_EQ(stats.card_aux, 0xF1);

    std::vector<uint32_t> control;  // everything but the waits, in order
    for (const auto& r : device->requests())
        if (r.code != LINKSCOPE_IOCTL_WAIT_EVENTS) control.push_back(r.code);
    EXPECT_EQ(control, (std::vector<uint32_t>{LINKSCOPE_IOCTL_RESET, LINKSCOPE_IOCTL_GET_INFOS,
                                              LINKSCOPE_IOCTL_SET_EPOCH, LINKSCOPE_IOCTL_SET_SNIFFER}));
    for (const auto& r : device->requests()) {
        if (r.code == LINKSCOPE_IOCTL_SET_EPOCH) {
            ASSERT_EQ(r.input.size(), EPOCH_INPUT_SIZE);
            const uint64_t epoch = load_le64(r.input.data());
            EXPECT_GE(epoch, before);
            EXPECT_LE(epoch, after);
        }
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER) {
            EXPECT_EQ(r.input, (std::vector<uint8_t>{1, 0, 0, 0}));
        }
    }
    EXPECT_TRUE(device->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 5s));

    EXPECT_EQ(card->stop(), 0);
    EXPECT_FALSE(card->opened());
    EXPECT_FALSE(device->is_open());
    const auto requests = device->requests();
    ASSERT_GE(requests.size(), 2u);
    bool sniffer_off = false;
    for (const auto& r : requests)
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER && r.input == std::vector<uint8_t>{0, 0, 0, 0}) sniffer_off = true;
    EXPECT_TRUE(sniffer_off);
    EXPECT_GE(device->count(LINKSCOPE_IOCTL_RELEASE_WAIT), 1u);
    const std::string log = log_text();
    EXPECT_NE(log.find("[info]  linkscope interrupt handler is launched\n"), std::string::npos);
    EXPECT_NE(log.find("[event] linkscope interrupt handler is closed\n"), std::string::npos);

    // The card can be started again.
    ASSERT_EQ(card->start(0), 0);
    EXPECT_TRUE(card->opened());
    EXPECT_EQ(card->stop(), 0);
}

TEST_F(CardControl, StartOnAMissingCard) {
    auto card = make_card();
    errno = 0;
    EXPECT_EQ(card->start(3), 13);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(card->opened());
    EXPECT_NE(log_text().find("[error] fip: cannot open the device.\n"), std::string::npos);
    errno = 0;
    EXPECT_EQ(card->start(INT_MAX), 13);
    EXPECT_EQ(card->start(-1), 13);
    EXPECT_EQ(card->stop(), -1);
}

struct StartFailure {
    const char* name;
    uint32_t failing_request;
    const char* message;
    bool acquisition_started;
};

class CardStartFailure : public CardTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(CardStartFailure, LeavesTheCardClosed) {
    const StartFailure& f = GetParam();
    auto device = install(1);
    device->fail_request(f.failing_request);
    auto card = make_card();
    errno = 0;
    EXPECT_EQ(card->start(0), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_FALSE(card->opened());
    EXPECT_FALSE(device->is_open());
    const std::string log = log_text();
    EXPECT_NE(log.find(std::string("[error] ") + f.message), std::string::npos) << log;
    const bool launched = log.find("linkscope interrupt handler is launched") != std::string::npos;
    EXPECT_EQ(launched, f.acquisition_started);
    if (f.acquisition_started) {
        EXPECT_NE(log.find("linkscope interrupt handler is closed"), std::string::npos);
        EXPECT_GE(device->count(LINKSCOPE_IOCTL_RELEASE_WAIT), 1u);
    }
    // The sniffer is never switched on, nor off, on the failure path.
    std::size_t sniffer_on = 0;
    for (const auto& r : device->requests())
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER && !r.input.empty() && r.input[0] == 1) ++sniffer_on;
    EXPECT_EQ(sniffer_on, f.failing_request == LINKSCOPE_IOCTL_SET_SNIFFER ? 1u : 0u);
    EXPECT_EQ(card->stop(), -1);

    // A later start on a healthy card works.
    device->fail_request(f.failing_request, false);
    EXPECT_EQ(card->start(0), 0);
    EXPECT_EQ(card->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, CardStartFailure,
    ::testing::Values(StartFailure{"infos", LINKSCOPE_IOCTL_GET_INFOS, "fip: impossible to get device info.\n", false},
                      StartFailure{"epoch", LINKSCOPE_IOCTL_SET_EPOCH, "cannot configure the epoch time.\n", true},
                      StartFailure{"sniffer", LINKSCOPE_IOCTL_SET_SNIFFER, "cannot start the sniffer.\n", true}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST_F(CardControl, ResetFailureIsIgnored) {
    auto device = install(1);
    device->fail_request(LINKSCOPE_IOCTL_RESET);
    auto card = make_card();
    EXPECT_EQ(card->start(0), 0);
    EXPECT_EQ(card->stop(), 0);
}

TEST_F(CardControl, SecondStartDoesNotDisturbTheCapture) {
    auto device = install(1);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    EXPECT_EQ(card->start(0), -1);
    EXPECT_NE(log_text().find("[error] fip: already started.\n"), std::string::npos);
    EXPECT_TRUE(card->opened());
    device->push_block(block_of({id_dat_record(1)}));
    EXPECT_EQ(take_records(1).size(), 1u);
    EXPECT_EQ(device->count(LINKSCOPE_IOCTL_RESET), 1u);
    EXPECT_EQ(card->stop(), 0);
}

TEST_F(CardControl, StopOnAClosedCardSendsNothing) {
    auto device = install(1);
    auto card = make_card();
    EXPECT_EQ(card->stop(), -1);
    EXPECT_TRUE(device->requests().empty());
}

TEST_F(CardControl, StopReportsAFailedSnifferStopButReleases) {
    auto device = install(1);
    auto card = make_card();
    ASSERT_EQ(card->start(0), 0);
    device->fail_request(LINKSCOPE_IOCTL_SET_SNIFFER);
    errno = 0;
    EXPECT_EQ(card->stop(), 0);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_FALSE(card->opened());
    EXPECT_FALSE(device->is_open());
    EXPECT_NE(log_text().find("[error] cannot stop the sniffer correctly.\n"), std::string::npos);
}

TEST_F(CardControl, DestroyingAStartedCardStopsEverything) {
    auto device = install(1);
    {
        auto card = make_card();
        ASSERT_EQ(card->start(0), 0);
        ASSERT_TRUE(device->wait_for_count(LINKSCOPE_IOCTL_WAIT_EVENTS, 1, 5s));
    }
    EXPECT_FALSE(device->is_open());
    const auto requests = device->requests();
    ASSERT_FALSE(requests.empty());
    bool sniffer_off = false;
    for (const auto& r : requests)
        if (r.code == LINKSCOPE_IOCTL_SET_SNIFFER && r.input == std::vector<uint8_t>{0, 0, 0, 0}) sniffer_off = true;
    EXPECT_TRUE(sniffer_off);
    EXPECT_NE(log_text().find("linkscope interrupt handler is closed"), std::string::npos);
    // The queue reference was given back.
    EXPECT_EQ(queue_.use_count(), 1);
}

}  // namespace
