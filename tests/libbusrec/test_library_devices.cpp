#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "libbusrec/include/busrec.h"
#include "platform/device.h"
#include "tests/libbusrec/sessionharness.h"
#include "tests/support/testdevice.h"

using testsupport::TestDevice;

namespace {

// Copies a (packed) field: the comparison macros bind references.
template <class T>
T val(T x) {
    return x;
}


struct MessageCase {
    int code;
    const char* message;
};

class LibraryMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(LibraryMessage, OwnCodesHaveTheirTexts) { EXPECT_STREQ(busrec_strerror(GetParam().code), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Codes, LibraryMessage,
    ::testing::Values(MessageCase{256, "The device is already bound to another Busrecorder session."},
                      MessageCase{257, "IRQ handler is already started."},
                      MessageCase{258, "IRQ handler is already stopped."},
                      MessageCase{259, "Diagnostic task is already started."},
                      MessageCase{260, "Diagnostic task is already stopped."},
                      MessageCase{261, "Busrecorder is currently running."},
                      MessageCase{262, "Busrecorder is currently stopped."},
                      MessageCase{263, "Objects do not belong to the same session context."},
                      MessageCase{264, "Reset/Error handlers are mandatory."},
                      MessageCase{265, "The device no longer answers; the session has stopped capturing."}));

TEST(Library, OtherCodesAreTheCLibrarysTexts) {
    for (int code : {22, 255, 266, 13})
        EXPECT_EQ(std::string(busrec_strerror(code)), std::string(std::strerror(code))) << code;
}

TEST(Library, VersionRecordIsConstant) {
    const busrec_version* v = busrec_version_get();
    EXPECT_EQ(v, busrec_version_get());
    EXPECT_EQ(val(v->version), 0x00010000u);
    EXPECT_EQ(val(v->release), 0x0017020Eu);
    EXPECT_EQ(busrec_init(), 0);
}

// Failing calls that need no device, with the errno each leaves.
struct FailureCase {
    const char* name;
    int (*call)();
    int expected;
};

class FailingCall : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailingCall, ReturnsMinusOneWithErrno) {
    errno = 0;
    EXPECT_EQ(GetParam().call(), -1);
    EXPECT_EQ(busrec_error_get(), GetParam().expected);
}

void nop_reset(busrec_sess*) {}
void nop_error(busrec_sess*, int) {}
busrec_device dummy_device{};

int init_with(busrec_sess_cfg cfg) { return busrec_sess_init(&cfg) ? 0 : -1; }

INSTANTIATE_TEST_SUITE_P(
    Errno, FailingCall,
    ::testing::Values(
        FailureCase{"open0", [] { return busrec_device_open(0) ? 0 : -1; }, EINVAL},
        FailureCase{"openAbsent", [] { return busrec_device_open(200) ? 0 : -1; }, EACCES},
        FailureCase{"closeNull", [] { return busrec_device_close(nullptr); }, EINVAL},
        FailureCase{"resetNull", [] { return busrec_device_reset(nullptr); }, EINVAL},
        FailureCase{"resetNoHandle", [] { busrec_device d{}; return busrec_device_reset(&d); }, EINVAL},
        FailureCase{"infosNullDevice", [] { device_infos i; return busrec_device_infos_get(nullptr, &i); }, EINVAL},
        FailureCase{"infosNullOut", [] { busrec_device d{}; return busrec_device_infos_get(&d, nullptr); }, EINVAL},
        FailureCase{"listNullOut", [] { int c; return busrec_device_list_get(nullptr, &c); }, EINVAL},
        FailureCase{"listNullCount", [] { device_infos o[16]; return busrec_device_list_get(o, nullptr); }, EINVAL},
        FailureCase{"initNull", [] { return busrec_sess_init(nullptr) ? 0 : -1; }, EINVAL},
        FailureCase{"initNoReset",
                    [] {
                        busrec_sess_cfg c{};
                        c.device = &dummy_device;
                        c.error_handler = nop_error;
                        return init_with(c);
                    },
                    BUSREC_E_HANDLERS},
        FailureCase{"initNoError",
                    [] {
                        busrec_sess_cfg c{};
                        c.device = &dummy_device;
                        c.reset_handler = nop_reset;
                        return init_with(c);
                    },
                    BUSREC_E_HANDLERS},
        FailureCase{"initNoDevice",
                    [] {
                        busrec_sess_cfg c{};
                        c.reset_handler = nop_reset;
                        c.error_handler = nop_error;
                        return init_with(c);
                    },
                    EINVAL},
        FailureCase{"exitNull", [] { return busrec_sess_exit(nullptr); }, EINVAL},
        FailureCase{"exitNullParts", [] { busrec_sess s{}; return busrec_sess_exit(&s); }, EINVAL},
        FailureCase{"startNull", [] { return busrec_sess_start(nullptr); }, EINVAL},
        FailureCase{"startNullParts", [] { busrec_sess s{}; return busrec_sess_start(&s); }, EINVAL},
        FailureCase{"stopNull", [] { return busrec_sess_stop(nullptr); }, EINVAL},
        FailureCase{"reportNull", [] { return busrec_sess_report_get(nullptr, nullptr); }, EINVAL},
        FailureCase{"clearNull", [] { return busrec_sess_stats_clear(nullptr); }, EINVAL}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Device functions against scripted cards.
class Devices : public ::testing::Test {
protected:
    std::shared_ptr<TestDevice> install(int number, uint32_t sn) {
        linkscope::device_infos infos = TestDevice::default_infos();
        infos.sn = sn;
        auto card = std::make_shared<TestDevice>(infos);
        platform::install_device(number, card);
        numbers_.push_back(number);
        return card;
    }
    ~Devices() override {
        for (int n : numbers_) platform::remove_device(n);
    }
    std::vector<int> numbers_;
};

TEST_F(Devices, OpenReadsTheInfosAndIsExclusive) {
    auto card = install(3, 0xABCD0003);
    busrec_device* dev = busrec_device_open(3);
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(card->is_open());
    EXPECT_EQ(card->count(linkscope::LINKSCOPE_IOCTL_GET_INFOS), 1u);
    device_infos infos;
    ASSERT_EQ(busrec_device_infos_get(dev, &infos), 0);
    const linkscope::device_infos expected = TestDevice::default_infos();
    EXPECT_EQ(val(infos.sn), 0xABCD0003u);
    EXPECT_EQ(val(infos.vid), val(expected.vid));
    EXPECT_EQ(val(infos.bar_cnt), val(expected.bar_cnt));
    EXPECT_EQ(val(infos.bar_base[1]), val(expected.bar_base[1]));
    EXPECT_EQ(val(infos.info_ext1), val(expected.info_ext1));
    EXPECT_EQ(val(infos.info_ext2), val(expected.info_ext2));

    errno = 0;
    EXPECT_EQ(busrec_device_open(3), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(busrec_device_close(dev), 0);
    EXPECT_FALSE(card->is_open());
    dev = busrec_device_open(3);
    ASSERT_NE(dev, nullptr);
    busrec_device_close(dev);
}

TEST_F(Devices, Number255IsOpened) {
    install(255, 1);
    busrec_device* dev = busrec_device_open(255);
    ASSERT_NE(dev, nullptr);
    busrec_device_close(dev);
}

TEST_F(Devices, FailedInfosLeaveNothingOpen) {
    auto card = install(4, 1);
    card->fail_request(linkscope::LINKSCOPE_IOCTL_GET_INFOS);
    errno = 0;
    EXPECT_EQ(busrec_device_open(4), nullptr);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_FALSE(card->is_open());
}

TEST_F(Devices, ResetIgnoresTheDriversAnswer) {
    auto card = install(5, 1);
    card->fail_request(linkscope::LINKSCOPE_IOCTL_RESET);
    busrec_device* dev = busrec_device_open(5);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(busrec_device_reset(dev), 0);
    EXPECT_EQ(card->count(linkscope::LINKSCOPE_IOCTL_RESET), 1u);
    busrec_device_close(dev);
}

TEST_F(Devices, ListProbesOneToSixteenInOrder) {
    install(16, 16);
    install(1, 1);
    install(3, 3);
    install(17, 17);
    device_infos out[BUSREC_DEVICE_LIST_SIZE];
    int count = -1;
    ASSERT_EQ(busrec_device_list_get(out, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(val(out[0].sn), 1u);
    EXPECT_EQ(val(out[1].sn), 3u);
    EXPECT_EQ(val(out[2].sn), 16u);
}

TEST_F(Devices, ListWithoutCardsIsEmpty) {
    device_infos out[BUSREC_DEVICE_LIST_SIZE];
    int count = -1;
    EXPECT_EQ(busrec_device_list_get(out, &count), 0);
    EXPECT_EQ(count, 0);
}

TEST_F(Devices, ListSkipsTheCardHeldBySession) {
    install(1, 1);
    install(3, 3);
    busrectest::HarnessOptions options;
    options.number = 2;
    busrectest::SessionHarness held(options);
    ASSERT_NE(held.session(), nullptr);
    device_infos out[BUSREC_DEVICE_LIST_SIZE];
    int count = -1;
    ASSERT_EQ(busrec_device_list_get(out, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(val(out[0].sn), 1u);
    EXPECT_EQ(val(out[1].sn), 3u);
}

TEST_F(Devices, BoundDeviceIsNeitherClosedNorBoundAgain) {
    busrectest::SessionHarness held;
    ASSERT_NE(held.session(), nullptr);
    errno = 0;
    EXPECT_EQ(busrec_device_close(held.device()), -1);
    EXPECT_EQ(errno, BUSREC_E_DEV_BOUND);
    busrec_sess_cfg cfg{};
    cfg.device = held.device();
    cfg.reset_handler = nop_reset;
    cfg.error_handler = nop_error;
    errno = 0;
    EXPECT_EQ(busrec_sess_init(&cfg), nullptr);
    EXPECT_EQ(errno, BUSREC_E_DEV_BOUND);
}

}  // namespace
