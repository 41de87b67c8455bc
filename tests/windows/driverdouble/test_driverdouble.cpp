// Drives the card driver double through real Win32 calls (CreateFileA with FILE_FLAG_OVERLAPPED,
// DeviceIoControl with an OVERLAPPED per request) and checks each behaviour the gateway and the
// library rely on. Prints one line per case; exits 1 when any case fails.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/deviceinfos.h"
#include "common/driver/protocol.h"
#include "tests/windows/driverdouble/controlcodes.h"
#include "tests/windows/driverdouble/doublecontrol.h"

using namespace linkscope;
using driverdouble::DoubleControl;
using driverdouble::LoggedRequest;

namespace {

// Generous: Wine's hand-offs between the client, wineserver and winedevice are slow.
constexpr DWORD COMPLETION_TIMEOUT_MS = 5000;
// How long a wait must stay pending to count as "pending".
constexpr DWORD STILL_PENDING_MS = 300;
constexpr uint32_t UNKNOWN_CODE = 0x8C0F201C;

int g_failures = 0;
std::string g_case;

void fail(const std::string& what, int line) {
    ++g_failures;
    std::printf("FAIL %s (line %d): %s\n", g_case.c_str(), line, what.c_str());
    std::fflush(stdout);
}

#define CHECK(condition)                                  \
    do {                                                  \
        if (!(condition)) fail(#condition, __LINE__);     \
    } while (0)
#define CHECK_EQ(expected, actual)                                                              \
    do {                                                                                        \
        const auto expected_value = (expected);                                                 \
        const auto actual_value = (actual);                                                     \
        if (!(expected_value == actual_value)) {                                                \
            std::ostringstream text;                                                            \
            text << #actual " is " << actual_value << ", expected " << expected_value;          \
            fail(text.str(), __LINE__);                                                         \
        }                                                                                       \
    } while (0)

// One request on a card handle with its own OVERLAPPED and event.
class Request {
public:
    Request(HANDLE card, uint32_t code, const std::vector<uint8_t>& input, std::size_t output_size)
        : output_(output_size) {
        std::memset(&overlapped_, 0, sizeof(overlapped_));
        overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        input_ = input;
        const BOOL ok = DeviceIoControl(card, code, input_.empty() ? nullptr : input_.data(),
                                        static_cast<DWORD>(input_.size()), output_.empty() ? nullptr : output_.data(),
                                        static_cast<DWORD>(output_.size()), nullptr, &overlapped_);
        start_error_ = ok ? ERROR_SUCCESS : GetLastError();
        card_ = card;
    }
    ~Request() {
        if (!finished_) {
            CancelIo(card_);
            DWORD bytes = 0;
            GetOverlappedResult(card_, &overlapped_, &bytes, TRUE);
        }
        CloseHandle(overlapped_.hEvent);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // False while the request is pending after `timeout_ms`.
    bool wait(DWORD timeout_ms) {
        if (finished_) return true;
        if (start_error_ != ERROR_SUCCESS && start_error_ != ERROR_IO_PENDING) {
            finished_ = true;
            error_ = start_error_;
            return true;
        }
        if (WaitForSingleObject(overlapped_.hEvent, timeout_ms) != WAIT_OBJECT_0) return false;
        DWORD bytes = 0;
        error_ = GetOverlappedResult(card_, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
        bytes_ = bytes;
        finished_ = true;
        return true;
    }
    bool succeeded() { return wait(COMPLETION_TIMEOUT_MS) && error_ == ERROR_SUCCESS; }
    DWORD error() const { return error_; }
    DWORD bytes() const { return bytes_; }
    const std::vector<uint8_t>& output() const { return output_; }

private:
    HANDLE card_;
    OVERLAPPED overlapped_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    DWORD start_error_ = ERROR_SUCCESS;
    DWORD error_ = ERROR_SUCCESS;
    DWORD bytes_ = 0;
    bool finished_ = false;
};

// A card opened exactly as both deliverables open it.
class CardHandle {
public:
    explicit CardHandle(int number) {
        const std::string path = "\\\\.\\LINKSCOPE" + std::to_string(number);
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        open_error_ = handle_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    ~CardHandle() {
        if (is_open()) CloseHandle(handle_);
    }
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD open_error() const { return open_error_; }
    HANDLE get() const { return handle_; }

    std::unique_ptr<Request> issue(uint32_t code, const std::vector<uint8_t>& input = {}, std::size_t output = 0) {
        return std::unique_ptr<Request>(new Request(handle_, code, input, output));
    }
    std::unique_ptr<Request> wait_events() { return issue(LINKSCOPE_IOCTL_WAIT_EVENTS, {}, EVENT_BLOCK_SIZE); }
    bool call(uint32_t code, const std::vector<uint8_t>& input = {}, std::size_t output = 0) {
        return issue(code, input, output)->succeeded();
    }

private:
    HANDLE handle_;
    DWORD open_error_;
};

std::vector<uint8_t> u32_input(uint32_t value) {
    std::vector<uint8_t> input(4);
    store_le32(input.data(), value);
    return input;
}

std::vector<uint8_t> u64_input(uint64_t value) {
    std::vector<uint8_t> input(8);
    store_le64(input.data(), value);
    return input;
}

// A block whose every byte depends on `seed`, so that blocks cannot be mistaken for each other.
std::vector<uint8_t> patterned_block(uint32_t seed) {
    std::vector<uint8_t> block(EVENT_BLOCK_SIZE);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : block) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    store_le32(block.data(), BLOCK_FLAG_EVENTS_A | seed);
    return block;
}

device_infos chosen_infos(int32_t index) {
    device_infos infos{};
    infos.index = index;
    infos.sn = 0x12345678;
    infos.vid = 0x10EE;
    infos.did = 0x7021;
    infos.ssvid = 0xABCD;
    infos.ssdid = 0x0102;
    infos.bar_cnt = 2;
    infos.bar_bsz[0] = 0x1000;
    infos.bar_bsz[1] = 0x100000000ull;
    infos.bar_base[0] = 0xF7E00000;
    infos.bar_base[1] = 0x2000000000ull;
    infos.irq_number = -3;
    infos.drv_version = 0x00020105;
    infos.info_ext1 = 0xCAFEF00D;
    infos.info_ext2 = 0x000000A7;
    return infos;
}

bool same_infos(const device_infos& a, const device_infos& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// ---- cases ----

void infos_come_back_as_the_test_set_them(DoubleControl& control) {
    control.set_infos(1, chosen_infos(0));
    CardHandle card(1);
    CHECK(card.is_open());
    auto request = card.issue(LINKSCOPE_IOCTL_GET_INFOS, {}, DEVICE_INFOS_SIZE);
    CHECK(request->succeeded());
    CHECK_EQ(static_cast<DWORD>(DEVICE_INFOS_SIZE), request->bytes());
    CHECK(same_infos(chosen_infos(0), decode_device_infos(request->output().data())));

    const std::vector<LoggedRequest> log = driverdouble::device_controls(control.read_log(1));
    CHECK_EQ(1u, log.size());
    if (log.size() == 1) {
        CHECK_EQ(LINKSCOPE_IOCTL_GET_INFOS, log[0].code);
        CHECK_EQ(0u, log[0].input_length);
        CHECK_EQ(static_cast<uint32_t>(DEVICE_INFOS_SIZE), log[0].output_length);
    }
}

void requests_with_wrong_sizes_fail(DoubleControl& control) {
    CardHandle card(1);
    CHECK(!card.call(LINKSCOPE_IOCTL_GET_INFOS, {}, DEVICE_INFOS_SIZE - 1));
    CHECK(!card.call(LINKSCOPE_IOCTL_SET_SNIFFER, {1, 0}));
    CHECK(!card.call(LINKSCOPE_IOCTL_SET_EPOCH, u32_input(7)));
    CHECK(!card.call(LINKSCOPE_IOCTL_RESET, u32_input(1)));
    CHECK(!card.call(LINKSCOPE_IOCTL_WAIT_EVENTS, {}, EVENT_BLOCK_SIZE - 1));
    CHECK(!card.call(UNKNOWN_CODE));
    // Nothing of the refused requests took effect.
    const driverdouble::CardState state = control.read_state(1);
    CHECK_EQ(0u, state.sniffer_set);
    CHECK_EQ(0u, state.epoch_set);
    CHECK_EQ(0u, state.pending_waits);
    CHECK_EQ(6u, driverdouble::device_controls(control.read_log(1)).size());
}

void wait_pends_while_epoch_and_sniffer_are_served(DoubleControl& control) {
    CardHandle card(1);
    auto wait = card.wait_events();
    CHECK(!wait->wait(STILL_PENDING_MS));
    CHECK(control.wait_for_pending_waits(1, 1, COMPLETION_TIMEOUT_MS));

    const uint64_t epoch = 1765200000123456ull;
    CHECK(card.call(LINKSCOPE_IOCTL_SET_EPOCH, u64_input(epoch)));
    CHECK(card.call(LINKSCOPE_IOCTL_SET_SNIFFER, u32_input(SNIFFER_ON)));
    CHECK(!wait->wait(0));
    driverdouble::CardState state = control.read_state(1);
    CHECK_EQ(epoch, state.epoch);
    CHECK_EQ(SNIFFER_ON, state.sniffer);
    CHECK_EQ(1u, state.pending_waits);

    const std::vector<uint8_t> block = patterned_block(11);
    control.inject(1, block);
    CHECK(wait->succeeded());
    CHECK_EQ(static_cast<DWORD>(EVENT_BLOCK_SIZE), wait->bytes());
    CHECK(wait->output() == block);
    CHECK_EQ(0u, control.read_state(1).pending_waits);

    const std::vector<LoggedRequest> log = driverdouble::device_controls(control.read_log(1));
    CHECK_EQ(3u, log.size());
    if (log.size() == 3) {
        CHECK_EQ(LINKSCOPE_IOCTL_WAIT_EVENTS, log[0].code);
        CHECK_EQ(static_cast<uint32_t>(EVENT_BLOCK_SIZE), log[0].output_length);
        CHECK_EQ(LINKSCOPE_IOCTL_SET_EPOCH, log[1].code);
        CHECK_EQ(8u, log[1].input_length);
        CHECK_EQ(epoch, log[1].input_u64());
        CHECK_EQ(LINKSCOPE_IOCTL_SET_SNIFFER, log[2].code);
        CHECK_EQ(4u, log[2].input_length);
        CHECK_EQ(SNIFFER_ON, log[2].input_u32());
    }
}

struct ReleaseFromThread {
    CardHandle* card;
    bool succeeded;
};

DWORD WINAPI release_wait_thread(void* argument) {
    ReleaseFromThread* release = static_cast<ReleaseFromThread*>(argument);
    release->succeeded = release->card->call(LINKSCOPE_IOCTL_RELEASE_WAIT);
    return 0;
}

void release_from_another_thread_ends_the_wait(DoubleControl& control) {
    CardHandle card(1);
    auto wait = card.wait_events();
    CHECK(control.wait_for_pending_waits(1, 1, COMPLETION_TIMEOUT_MS));
    ReleaseFromThread release{&card, false};
    HANDLE releaser = CreateThread(nullptr, 0, release_wait_thread, &release, 0, nullptr);
    CHECK(releaser != nullptr);
    if (releaser != nullptr) {
        WaitForSingleObject(releaser, INFINITE);
        CloseHandle(releaser);
    }
    CHECK(release.succeeded);
    CHECK(wait->wait(COMPLETION_TIMEOUT_MS));
    // Released, not delivered: the reader sees a byte count other than a block's.
    CHECK(wait->bytes() != EVENT_BLOCK_SIZE);
    CHECK_EQ(0u, control.read_state(1).pending_waits);
    // A release with no wait pending is served and leaves nothing behind for the next wait.
    CHECK(card.call(LINKSCOPE_IOCTL_RELEASE_WAIT));
    auto next = card.wait_events();
    CHECK(!next->wait(STILL_PENDING_MS));
}

void blocks_injected_before_the_waits_come_in_order(DoubleControl& control) {
    for (uint32_t seed = 1; seed <= 3; ++seed) control.inject(1, patterned_block(seed));
    CHECK_EQ(3u, control.read_state(1).queued_blocks);
    CardHandle card(1);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        auto wait = card.wait_events();
        CHECK(wait->succeeded());
        CHECK(wait->output() == patterned_block(seed));
    }
    CHECK_EQ(0u, control.read_state(1).queued_blocks);
    auto fourth = card.wait_events();
    CHECK(!fourth->wait(STILL_PENDING_MS));
}

void a_card_that_stops_answering_fails_everything(DoubleControl& control) {
    CardHandle card(1);
    auto wait = card.wait_events();
    CHECK(control.wait_for_pending_waits(1, 1, COMPLETION_TIMEOUT_MS));
    control.break_card(1);
    CHECK(wait->wait(COMPLETION_TIMEOUT_MS));
    CHECK(wait->error() != ERROR_SUCCESS);
    CHECK(control.read_state(1).broken);
    CHECK(!card.call(LINKSCOPE_IOCTL_GET_INFOS, {}, DEVICE_INFOS_SIZE));
    CHECK(!card.call(LINKSCOPE_IOCTL_SET_EPOCH, u64_input(5)));
    CHECK(!card.call(LINKSCOPE_IOCTL_SET_SNIFFER, u32_input(SNIFFER_ON)));
    auto failed_wait = card.wait_events();
    CHECK(failed_wait->wait(COMPLETION_TIMEOUT_MS));
    CHECK(failed_wait->error() != ERROR_SUCCESS);
    CHECK_EQ(0u, control.read_state(1).epoch_set);

    control.reset();
    CHECK(!control.read_state(1).broken);
    CHECK(card.call(LINKSCOPE_IOCTL_GET_INFOS, {}, DEVICE_INFOS_SIZE));
}

void reset_forgets_blocks_log_and_extra_cards(DoubleControl& control) {
    control.add_card(5);
    control.inject(1, patterned_block(1));
    {
        CardHandle card(1);
        CHECK(card.call(LINKSCOPE_IOCTL_SET_SNIFFER, u32_input(SNIFFER_ON)));
    }
    control.reset();
    const driverdouble::CardState state = control.read_state(1);
    CHECK_EQ(0u, state.queued_blocks);
    CHECK_EQ(0u, state.sniffer_set);
    CHECK(control.read_log(1).empty());
    CardHandle gone(5);
    CHECK(!gone.is_open());
}

void further_card_numbers_on_request(DoubleControl& control) {
    control.add_card(3);
    control.set_infos(3, chosen_infos(2));
    {
        CardHandle third(3);
        CHECK(third.is_open());
        auto infos = third.issue(LINKSCOPE_IOCTL_GET_INFOS, {}, DEVICE_INFOS_SIZE);
        CHECK(infos->succeeded());
        CHECK(same_infos(chosen_infos(2), decode_device_infos(infos->output().data())));
        // A block for card 3 never reaches card 1.
        CardHandle first(1);
        auto first_wait = first.wait_events();
        control.inject(3, patterned_block(3));
        auto third_wait = third.wait_events();
        CHECK(third_wait->succeeded());
        CHECK(third_wait->output() == patterned_block(3));
        CHECK(!first_wait->wait(STILL_PENDING_MS));
        CHECK_EQ(1u, driverdouble::count_code(control.read_log(3), LINKSCOPE_IOCTL_WAIT_EVENTS));
        CHECK_EQ(1u, driverdouble::count_code(control.read_log(1), LINKSCOPE_IOCTL_WAIT_EVENTS));
        CHECK_EQ(0u, driverdouble::count_code(control.read_log(1), LINKSCOPE_IOCTL_GET_INFOS));
    }
    control.remove_card(3);
    CardHandle removed(3);
    CHECK(!removed.is_open());
    CHECK_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), removed.open_error());
    for (uint32_t refused_number : {0u, 1u, 256u}) {
        bool refused = false;
        try {
            control.add_card(refused_number);
        } catch (const driverdouble::ControlError&) {
            refused = true;
        }
        CHECK(refused);
    }
    bool unknown_refused = false;
    try {
        control.remove_card(3);
    } catch (const driverdouble::ControlError&) {
        unknown_refused = true;
    }
    CHECK(unknown_refused);
    CardHandle first(1);
    CHECK(first.is_open());
}

void a_cancelled_wait_leaves_the_card(DoubleControl& control) {
    CardHandle card(1);
    auto wait = card.wait_events();
    CHECK(control.wait_for_pending_waits(1, 1, COMPLETION_TIMEOUT_MS));
    CHECK(CancelIo(card.get()));
    CHECK(wait->wait(COMPLETION_TIMEOUT_MS));
    CHECK_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), wait->error());
    CHECK(control.wait_for_pending_waits(1, 0, COMPLETION_TIMEOUT_MS));
    // A block injected afterwards waits for the next request instead of vanishing.
    control.inject(1, patterned_block(9));
    CHECK_EQ(1u, control.read_state(1).queued_blocks);
}

void opens_and_closes_are_logged(DoubleControl& control) {
    { CardHandle card(1); }
    // The close reaches the driver after CloseHandle has returned.
    const DWORD start = GetTickCount();
    while (control.read_state(1).closes == 0 && GetTickCount() - start < COMPLETION_TIMEOUT_MS) Sleep(5);
    const driverdouble::CardState state = control.read_state(1);
    CHECK_EQ(1u, state.opens);
    CHECK_EQ(1u, state.closes);
    const std::vector<LoggedRequest> log = control.read_log(1);
    CHECK(log.size() >= 2);
    if (log.size() >= 2) {
        CHECK_EQ(static_cast<uint32_t>(DOUBLE_MAJOR_CREATE), log[0].major);
        CHECK_EQ(static_cast<uint32_t>(DOUBLE_MAJOR_CLOSE), log.back().major);
    }
}

struct Case {
    const char* name;
    std::function<void(DoubleControl&)> run;
};

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::unique_ptr<DoubleControl> control;
    try {
        control.reset(new DoubleControl());
    } catch (const std::exception& error) {
        std::printf("FAIL the driver double is not running: %s\n", error.what());
        return 1;
    }
    const std::vector<Case> cases = {
        {"infos_come_back_as_the_test_set_them", infos_come_back_as_the_test_set_them},
        {"requests_with_wrong_sizes_fail", requests_with_wrong_sizes_fail},
        {"wait_pends_while_epoch_and_sniffer_are_served", wait_pends_while_epoch_and_sniffer_are_served},
        {"release_from_another_thread_ends_the_wait", release_from_another_thread_ends_the_wait},
        {"blocks_injected_before_the_waits_come_in_order", blocks_injected_before_the_waits_come_in_order},
        {"a_card_that_stops_answering_fails_everything", a_card_that_stops_answering_fails_everything},
        {"reset_forgets_blocks_log_and_extra_cards", reset_forgets_blocks_log_and_extra_cards},
        {"further_card_numbers_on_request", further_card_numbers_on_request},
        {"a_cancelled_wait_leaves_the_card", a_cancelled_wait_leaves_the_card},
        {"opens_and_closes_are_logged", opens_and_closes_are_logged},
    };
    std::size_t failed_cases = 0;
    for (const Case& c : cases) {
        g_case = c.name;
        const int before = g_failures;
        try {
            control->reset();
            c.run(*control);
        } catch (const std::exception& error) {
            fail(std::string("exception: ") + error.what(), 0);
        }
        if (g_failures == before)
            std::printf("ok %s\n", c.name);
        else
            ++failed_cases;
    }
    control->reset();
    std::printf("%u of %u cases failed\n", static_cast<unsigned>(failed_cases), static_cast<unsigned>(cases.size()));
    return g_failures == 0 ? 0 : 1;
}
