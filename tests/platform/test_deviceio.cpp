// The device layer: open by path, exclusive open within and across processes, simulated cards
// from LINKSCOPE_SIM. Cross-process cases run this program again as a child with
// LINKSCOPE_TEST_CHILD naming what the child does; its exit code tells the result.
#include "platform/deviceio.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "common/driver/deviceinfos.h"
#include "common/driver/devicepath.h"
#include "common/driver/protocol.h"
#include "platform/device.h"
#include "platform/deviceregistry.h"
#include "sim/simulatedcards.h"
#include "tests/support/testdevice.h"

namespace {

using namespace linkscope;
using namespace platform;

constexpr int CHILD_OPENED = 10;
constexpr int CHILD_REFUSED = 20;
constexpr int CHILD_FAILED = 30;
constexpr const char* PARENT_SIM = "devices=1+2+7,speed=max";

std::string self_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = 0;
    return path;
}

struct ChildResult {
    int code = -1;
    std::string stderr_text;
};

// Runs this program as a child in `mode`, with LINKSCOPE_SIM set to `sim` (or inherited).
ChildResult run_child(const std::string& mode, const char* sim = nullptr, const std::string& extra_env = "") {
    const std::string err_path = ::testing::TempDir() + "deviceio-child-" + std::to_string(getpid()) + ".err";
    std::string command = "LINKSCOPE_TEST_CHILD=" + mode + " ";
    if (sim) command += std::string("LINKSCOPE_SIM='") + sim + "' ";
    command += extra_env;
    command += "'" + self_path() + "' --gtest_filter=DeviceIoChild.Run 2>'" + err_path + "' >/dev/null";
    ChildResult result;
    const int status = std::system(command.c_str());
    if (status != -1 && WIFEXITED(status)) result.code = WEXITSTATUS(status);
    std::ifstream err(err_path);
    std::stringstream text;
    text << err.rdbuf();
    result.stderr_text = text.str();
    std::remove(err_path.c_str());
    return result;
}

DeviceHandle open_number(int number) { return device_open(device_path(number).c_str()); }

bool get_infos(DeviceHandle h, device_infos* infos) {
    uint8_t out[DEVICE_INFOS_SIZE] = {};
    uint32_t returned = 0;
    if (!device_request(h, LINKSCOPE_IOCTL_GET_INFOS, nullptr, 0, out, sizeof out, &returned)) return false;
    *infos = decode_device_infos(out);
    return returned == DEVICE_INFOS_SIZE;
}

TEST(DeviceIoChild, Run) {
    const char* mode = std::getenv("LINKSCOPE_TEST_CHILD");
    if (!mode) GTEST_SKIP() << "runs only as the child of another test";
    const std::string m = mode;
    if (m == "open") {
        const DeviceHandle h = open_number(1);
        device_close(h);
        std::_Exit(h != INVALID_DEVICE_HANDLE ? CHILD_OPENED : CHILD_REFUSED);
    }
    if (m == "open-and-die") {
        const DeviceHandle h = open_number(1);
        std::_Exit(h != INVALID_DEVICE_HANDLE ? CHILD_OPENED : CHILD_REFUSED);  // never closed
    }
    if (m == "probe-busy") std::_Exit(device_is_busy(device_path(1).c_str()) ? CHILD_OPENED : CHILD_REFUSED);
    if (m == "unplug") {
        const DeviceHandle h = open_number(1);
        device_infos infos{};
        if (h == INVALID_DEVICE_HANDLE || !get_infos(h, &infos)) std::_Exit(CHILD_FAILED);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const bool still = get_infos(h, &infos);
        device_close(h);
        const DeviceHandle again = open_number(1);
        std::_Exit(!still && again == INVALID_DEVICE_HANDLE ? CHILD_REFUSED : CHILD_FAILED);
    }
    std::_Exit(CHILD_FAILED);
}

TEST(DeviceIo, OpensOnlyWellFormedPathsOfExistingDevices) {
    auto device = std::make_shared<testsupport::TestDevice>();
    install_device(40, device);
    for (const char* bad : {"\\\\.\\LINKSCOPE040", "LINKSCOPE40", "\\\\.\\LINKSCOPE40 ", "\\\\.\\linkscope40",
                            "\\\\.\\LINKSCOPE0", "\\\\.\\LINKSCOPE256", "", "\\\\.\\LINKSCOPE41"})
        EXPECT_EQ(device_open(bad), INVALID_DEVICE_HANDLE) << bad;
    EXPECT_EQ(device_open(nullptr), INVALID_DEVICE_HANDLE);
    const DeviceHandle h = device_open("\\\\.\\LINKSCOPE40");
    EXPECT_NE(h, INVALID_DEVICE_HANDLE);
    device_close(h);
    remove_device(40);
    EXPECT_EQ(open_number(40), INVALID_DEVICE_HANDLE) << "a removed device is gone";
}

TEST(DeviceIo, InvalidHandlesFailAndAreIgnored) {
    uint32_t returned = 7;
    EXPECT_FALSE(device_request(INVALID_DEVICE_HANDLE, LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, &returned));
    device_close(INVALID_DEVICE_HANDLE);
}

TEST(DeviceIo, AnInstalledDeviceIsExclusiveAndReplacesASimulatedCard) {
    auto device = std::make_shared<testsupport::TestDevice>();
    install_device(7, device);
    const DeviceHandle first = open_number(7);
    ASSERT_NE(first, INVALID_DEVICE_HANDLE);
    EXPECT_TRUE(device->is_open());
    EXPECT_EQ(open_number(7), INVALID_DEVICE_HANDLE);
    EXPECT_TRUE(device_request(first, LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(device->count(LINKSCOPE_IOCTL_RESET), 1u) << "requests reach the installed device";
    device_close(first);
    EXPECT_FALSE(device->is_open());
    remove_device(7);
    const DeviceHandle simulated = open_number(7);
    EXPECT_NE(simulated, INVALID_DEVICE_HANDLE) << "the simulated card is back";
    device_close(simulated);
}

TEST(DeviceIo, SimulatedCardsComeFromLinkscopeSim) {
    for (int number : {1, 2, 7}) {
        const DeviceHandle h = open_number(number);
        ASSERT_NE(h, INVALID_DEVICE_HANDLE) << number;
        device_infos infos{};
        EXPECT_TRUE(get_infos(h, &infos));
        const int32_t index = infos.index;
        EXPECT_EQ(index, number - 1);
        device_close(h);
    }
    EXPECT_EQ(open_number(3), INVALID_DEVICE_HANDLE);
}

TEST(DeviceIo, ASimulatedCardOpensOnceInThisProcess) {
    const DeviceHandle first = open_number(2);
    ASSERT_NE(first, INVALID_DEVICE_HANDLE);
    EXPECT_EQ(open_number(2), INVALID_DEVICE_HANDLE);
    device_close(first);
    const DeviceHandle again = open_number(2);
    EXPECT_NE(again, INVALID_DEVICE_HANDLE);
    device_close(again);
}

TEST(DeviceIo, ACardLockedElsewhereIsRefusedWithErrnoLeftAlone) {
    std::unique_ptr<CardLock> elsewhere = lock_card_across_processes(2);
    ASSERT_NE(elsewhere, nullptr);
    errno = EFAULT;
    EXPECT_EQ(open_number(2), INVALID_DEVICE_HANDLE);
    EXPECT_EQ(errno, EFAULT) << "a listing keeps the errno of an earlier failed request";
    elsewhere.reset();
    const DeviceHandle h = open_number(2);
    EXPECT_NE(h, INVALID_DEVICE_HANDLE);
    device_close(h);
}

TEST(DeviceIo, ASimulatedCardOpensOnceAcrossProcesses) {
    const DeviceHandle held = open_number(1);
    ASSERT_NE(held, INVALID_DEVICE_HANDLE);
    EXPECT_EQ(run_child("open").code, CHILD_REFUSED) << "another process holds the card";
    device_close(held);
    EXPECT_EQ(run_child("open").code, CHILD_OPENED);
    EXPECT_EQ(run_child("open-and-die").code, CHILD_OPENED);
    const DeviceHandle after = open_number(1);
    EXPECT_NE(after, INVALID_DEVICE_HANDLE) << "a dead process holds nothing";
    device_close(after);
}

TEST(DeviceIo, BusyTellsAHeldCardFromAMissingOne) {
    auto device = std::make_shared<testsupport::TestDevice>();
    install_device(41, device);
    EXPECT_FALSE(device_is_busy(device_path(41).c_str()));
    const DeviceHandle held = open_number(41);
    ASSERT_NE(held, INVALID_DEVICE_HANDLE);
    EXPECT_TRUE(device_is_busy(device_path(41).c_str()));
    device_close(held);
    EXPECT_FALSE(device_is_busy(device_path(41).c_str()));
    remove_device(41);
    EXPECT_FALSE(device_is_busy(device_path(41).c_str())) << "a missing card is not busy";
    EXPECT_FALSE(device_is_busy(device_path(3).c_str()));
    EXPECT_FALSE(device_is_busy("LINKSCOPE1"));
    EXPECT_FALSE(device_is_busy(nullptr));
}

TEST(DeviceIo, BusyAcrossProcessesAndTheProbeHoldsNothing) {
    const DeviceHandle held = open_number(1);
    ASSERT_NE(held, INVALID_DEVICE_HANDLE);
    EXPECT_EQ(run_child("probe-busy").code, CHILD_OPENED) << "another process holds the card";
    device_close(held);
    EXPECT_EQ(run_child("probe-busy").code, CHILD_REFUSED);
    EXPECT_FALSE(device_is_busy(device_path(1).c_str()));
    // The probe itself leaves the card free.
    const DeviceHandle after = open_number(1);
    EXPECT_NE(after, INVALID_DEVICE_HANDLE);
    device_close(after);
}

TEST(DeviceIo, MakesAMissingLockDirectoryWithItsParents) {
    const std::string nested = std::string(std::getenv("LINKSCOPE_LOCK_DIR")) + "/a/b";
    EXPECT_EQ(run_child("open", nullptr, "LINKSCOPE_LOCK_DIR='" + nested + "' ").code, CHILD_OPENED);
    std::remove((nested + "/LINKSCOPE1.lock").c_str());
    rmdir(nested.c_str());
    rmdir(nested.substr(0, nested.size() - 2).c_str());
}

struct BadSim {
    const char* sim;
    const char* key;
};

class DeviceIoBadSim : public ::testing::TestWithParam<BadSim> {};

TEST_P(DeviceIoBadSim, PrintsOneLineNamingTheKeyAndMakesNoCard) {
    const ChildResult child = run_child("open", GetParam().sim);
    EXPECT_EQ(child.code, CHILD_REFUSED);
    EXPECT_EQ(child.stderr_text.find("LINKSCOPE_SIM: "), 0u) << child.stderr_text;
    EXPECT_NE(child.stderr_text.find(GetParam().key), std::string::npos) << child.stderr_text;
    EXPECT_EQ(std::count(child.stderr_text.begin(), child.stderr_text.end(), '\n'), 1) << child.stderr_text;
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceIoBadSim,
                         ::testing::Values(BadSim{"stations=abc", "stations"}, BadSim{"speed=max,colour=red", "colour"},
                                           BadSim{"replay=/nonexistent/blocks.bin", "replay"}));

TEST(DeviceIo, NoCardWithoutLinkscopeSim) {
    const std::string command = "env -u LINKSCOPE_SIM LINKSCOPE_TEST_CHILD=open '" + self_path() +
                                "' --gtest_filter=DeviceIoChild.Run >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), CHILD_REFUSED);
}

TEST(DeviceIo, AnUnpluggedCardFailsEveryRequestAndNoLongerOpens) {
    EXPECT_EQ(run_child("unplug", "unplug_ms=50").code, CHILD_REFUSED);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sim::offer_simulated_cards();
    std::string dir;
    if (!std::getenv("LINKSCOPE_TEST_CHILD")) {
        // Our own cards and a lock directory of our own, shared with our children only.
        setenv("LINKSCOPE_SIM", PARENT_SIM, 1);
        dir = ::testing::TempDir() + "linkscope-locks-XXXXXX";
        if (mkdtemp(dir.data()))
            setenv("LINKSCOPE_LOCK_DIR", dir.c_str(), 1);
        else
            dir.clear();
    }
    const int result = RUN_ALL_TESTS();
    if (!dir.empty()) {
        for (int number : {1, 2, 7}) std::remove((dir + "/LINKSCOPE" + std::to_string(number) + ".lock").c_str());
        rmdir(dir.c_str());
    }
    return result;
}
