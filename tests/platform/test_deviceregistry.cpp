// The device layer on every platform: test devices come first, one handle per device, a
// simulated card's lock file, and the errno values of failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "common/driver/devicepath.h"
#include "common/driver/protocol.h"
#include "platform/deviceio.h"
#include "platform/deviceregistry.h"
#include "tests/support/testdevice.h"

namespace {

using namespace linkscope;
using namespace platform;

// Device numbers no simulated card or real card on a build machine uses.
constexpr int TEST_NUMBER = 201;
constexpr int ABSENT_NUMBER = 202;

class DeviceRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = std::make_shared<testsupport::TestDevice>();
        install_device(TEST_NUMBER, device_);
    }
    void TearDown() override { remove_device(TEST_NUMBER); }
    std::shared_ptr<testsupport::TestDevice> device_;
};

// The callers set errno as their interfaces name it (a card listing keeps the 14 of a failed
// request across the failed opens that follow), so the layer must leave it alone.
TEST_F(DeviceRegistryTest, FailuresLeaveErrnoAlone) {
    constexpr int MARK = 14;
    errno = MARK;
    EXPECT_EQ(device_open(device_path(ABSENT_NUMBER).c_str()), INVALID_DEVICE_HANDLE);
    EXPECT_EQ(device_open("\\\\.\\LINKSCOPE0"), INVALID_DEVICE_HANDLE);
    const DeviceHandle h = device_open(device_path(TEST_NUMBER).c_str());
    ASSERT_NE(h, INVALID_DEVICE_HANDLE);
    EXPECT_EQ(device_open(device_path(TEST_NUMBER).c_str()), INVALID_DEVICE_HANDLE);
    EXPECT_FALSE(device_request(INVALID_DEVICE_HANDLE, LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(errno, MARK);
    device_close(h);
}

TEST_F(DeviceRegistryTest, ARegisteredDeviceThatIsHeldNeverFallsThroughToTheDriver) {
    RegisteredOpen first = open_registered_device(TEST_NUMBER);
    ASSERT_TRUE(first.registered);
    ASSERT_NE(first.device, nullptr);
    EXPECT_EQ(first.lock, nullptr) << "test devices need no lock file";
    EXPECT_TRUE(device_->is_open());

    const RegisteredOpen second = open_registered_device(TEST_NUMBER);
    EXPECT_TRUE(second.registered) << "the caller must not look for a real card";
    EXPECT_EQ(second.device, nullptr);

    close_registered_device(TEST_NUMBER, *first.device);
    EXPECT_FALSE(device_->is_open());
    const RegisteredOpen again = open_registered_device(TEST_NUMBER);
    ASSERT_NE(again.device, nullptr);
    close_registered_device(TEST_NUMBER, *again.device);

    EXPECT_FALSE(open_registered_device(ABSENT_NUMBER).registered);
}

TEST_F(DeviceRegistryTest, RequestsReachTheDeviceWithTheirBuffers) {
    const DeviceHandle h = device_open(device_path(TEST_NUMBER).c_str());
    ASSERT_NE(h, INVALID_DEVICE_HANDLE);
    uint8_t infos[DEVICE_INFOS_SIZE] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(device_request(h, LINKSCOPE_IOCTL_GET_INFOS, nullptr, 0, infos, sizeof infos, &returned));
    EXPECT_EQ(returned, DEVICE_INFOS_SIZE);
    const uint8_t epoch[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(device_request(h, LINKSCOPE_IOCTL_SET_EPOCH, epoch, sizeof epoch, nullptr, 0, nullptr));
    const auto log = device_->requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].code, LINKSCOPE_IOCTL_SET_EPOCH);
    EXPECT_EQ(log[1].input, std::vector<uint8_t>(epoch, epoch + 8));
    device_close(h);
}

TEST(CardLock, HeldOnceUntilReleased) {
    // A second lock of the same card is refused even within one process: the lock belongs to the
    // open file, not to the process, so this shows what another process would meet.
    std::unique_ptr<CardLock> first = lock_card_across_processes(ABSENT_NUMBER);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(lock_card_across_processes(ABSENT_NUMBER), nullptr);
    std::unique_ptr<CardLock> other = lock_card_across_processes(ABSENT_NUMBER + 1);
    EXPECT_NE(other, nullptr) << "cards are locked one by one";
    first.reset();
    EXPECT_NE(lock_card_across_processes(ABSENT_NUMBER), nullptr);
}

}  // namespace
