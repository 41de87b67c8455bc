#include "tests/windows/driverdouble/doublecontrol.h"

#include <windows.h>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "tests/windows/driverdouble/controlcodes.h"

namespace driverdouble {

namespace {

std::vector<uint8_t> number_input(uint32_t number, std::size_t extra = 0) {
    std::vector<uint8_t> input(DOUBLE_CARD_NUMBER_SIZE + extra);
    linkscope::store_le32(input.data(), number);
    return input;
}

LoggedRequest parse_entry(const uint8_t* at) {
    LoggedRequest entry;
    entry.major = linkscope::load_le32(at + DOUBLE_ENTRY_OFF_MAJOR);
    entry.code = linkscope::load_le32(at + DOUBLE_ENTRY_OFF_CODE);
    entry.input_length = linkscope::load_le32(at + DOUBLE_ENTRY_OFF_INPUT_LENGTH);
    entry.output_length = linkscope::load_le32(at + DOUBLE_ENTRY_OFF_OUTPUT_LENGTH);
    for (std::size_t i = 0; i < entry.input.size(); ++i) entry.input[i] = at[DOUBLE_ENTRY_OFF_INPUT + i];
    return entry;
}

}  // namespace

bool LoggedRequest::is_device_control() const { return major == DOUBLE_MAJOR_DEVICE_CONTROL; }
uint32_t LoggedRequest::input_u32() const { return linkscope::load_le32(input.data()); }
uint64_t LoggedRequest::input_u64() const { return linkscope::load_le64(input.data()); }

ControlError::ControlError(const std::string& what, unsigned long win32_error)
    : std::runtime_error(what + " failed, error " + std::to_string(win32_error)), error_(win32_error) {}

DoubleControl::DoubleControl()
    : handle_(CreateFileA(DOUBLE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE) throw ControlError("opening " DOUBLE_CONTROL_PATH, GetLastError());
}

DoubleControl::~DoubleControl() { CloseHandle(handle_); }

std::vector<uint8_t> DoubleControl::request(uint32_t code, const std::vector<uint8_t>& input, std::size_t output_size,
                                            const char* what) {
    std::vector<uint8_t> output(output_size);
    DWORD returned = 0;
    // Control requests never pend, so the handle is a plain synchronous one.
    const BOOL ok = DeviceIoControl(handle_, code, input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
                                    static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                                    static_cast<DWORD>(output.size()), &returned, nullptr);
    if (!ok) throw ControlError(what, GetLastError());
    output.resize(returned);
    return output;
}

void DoubleControl::reset() { request(DOUBLE_CTL_RESET, {}, 0, "resetting the double"); }

void DoubleControl::add_card(uint32_t number) { request(DOUBLE_CTL_ADD_CARD, number_input(number), 0, "adding a card"); }

void DoubleControl::remove_card(uint32_t number) {
    request(DOUBLE_CTL_REMOVE_CARD, number_input(number), 0, "removing a card");
}

void DoubleControl::set_infos(uint32_t number, const linkscope::device_infos& infos) {
    std::vector<uint8_t> input = number_input(number, linkscope::DEVICE_INFOS_SIZE);
    linkscope::encode_device_infos(infos, input.data() + DOUBLE_CARD_NUMBER_SIZE);
    request(DOUBLE_CTL_SET_INFOS, input, 0, "setting the device infos");
}

void DoubleControl::inject(uint32_t number, const std::vector<uint8_t>& block) {
    std::vector<uint8_t> input = number_input(number);
    input.insert(input.end(), block.begin(), block.end());
    request(DOUBLE_CTL_INJECT, input, 0, "injecting a block");
}

void DoubleControl::break_card(uint32_t number) { request(DOUBLE_CTL_BREAK, number_input(number), 0, "breaking a card"); }

std::vector<LoggedRequest> DoubleControl::read_log(uint32_t number) {
    const std::vector<uint8_t> out =
        request(DOUBLE_CTL_READ_LOG, number_input(number),
                DOUBLE_LOG_HEADER_SIZE + DOUBLE_LOG_CAPACITY * DOUBLE_LOG_ENTRY_SIZE, "reading the request log");
    if (out.size() < DOUBLE_LOG_HEADER_SIZE) throw ControlError("reading the request log header", 0);
    const uint32_t returned = linkscope::load_le32(out.data() + DOUBLE_LOG_OFF_RETURNED);
    if (out.size() < DOUBLE_LOG_HEADER_SIZE + std::size_t{returned} * DOUBLE_LOG_ENTRY_SIZE)
        throw ControlError("reading the request log entries", 0);
    std::vector<LoggedRequest> log;
    for (uint32_t i = 0; i < returned; ++i)
        log.push_back(parse_entry(out.data() + DOUBLE_LOG_HEADER_SIZE + i * DOUBLE_LOG_ENTRY_SIZE));
    return log;
}

CardState DoubleControl::read_state(uint32_t number) {
    const std::vector<uint8_t> out =
        request(DOUBLE_CTL_READ_STATE, number_input(number), DOUBLE_STATE_SIZE, "reading the card state");
    if (out.size() != DOUBLE_STATE_SIZE) throw ControlError("reading the card state record", 0);
    const uint8_t* p = out.data();
    CardState state;
    state.pending_waits = linkscope::load_le32(p + DOUBLE_STATE_OFF_PENDING_WAITS);
    state.queued_blocks = linkscope::load_le32(p + DOUBLE_STATE_OFF_QUEUED_BLOCKS);
    state.broken = linkscope::load_le32(p + DOUBLE_STATE_OFF_BROKEN) != 0;
    state.sniffer = linkscope::load_le32(p + DOUBLE_STATE_OFF_SNIFFER);
    state.sniffer_set = linkscope::load_le32(p + DOUBLE_STATE_OFF_SNIFFER_SET);
    state.epoch_set = linkscope::load_le32(p + DOUBLE_STATE_OFF_EPOCH_SET);
    state.epoch = linkscope::load_le64(p + DOUBLE_STATE_OFF_EPOCH);
    state.opens = linkscope::load_le32(p + DOUBLE_STATE_OFF_OPENS);
    state.closes = linkscope::load_le32(p + DOUBLE_STATE_OFF_CLOSES);
    return state;
}

bool DoubleControl::wait_for_pending_waits(uint32_t number, uint32_t count, unsigned timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (read_state(number).pending_waits == count) return true;
        if (GetTickCount() - start >= timeout_ms) return false;
        Sleep(5);
    }
}

std::vector<LoggedRequest> device_controls(const std::vector<LoggedRequest>& log) {
    std::vector<LoggedRequest> requests;
    for (const LoggedRequest& entry : log)
        if (entry.is_device_control()) requests.push_back(entry);
    return requests;
}

std::size_t count_code(const std::vector<LoggedRequest>& log, uint32_t code) {
    std::size_t count = 0;
    for (const LoggedRequest& entry : log)
        if (entry.is_device_control() && entry.code == code) ++count;
    return count;
}

std::string code_name(uint32_t code) {
    switch (code) {
    case linkscope::LINKSCOPE_IOCTL_GET_INFOS: return "GET_INFOS";
    case linkscope::LINKSCOPE_IOCTL_SET_SNIFFER: return "SET_SNIFFER";
    case linkscope::LINKSCOPE_IOCTL_SET_EPOCH: return "SET_EPOCH";
    case linkscope::LINKSCOPE_IOCTL_RESET: return "RESET";
    case linkscope::LINKSCOPE_IOCTL_WAIT_EVENTS: return "WAIT_EVENTS";
    case linkscope::LINKSCOPE_IOCTL_RELEASE_WAIT: return "RELEASE_WAIT";
    default: return "code " + std::to_string(code);
    }
}

}  // namespace driverdouble
