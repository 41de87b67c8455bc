#include "gateway/service.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "common/driver/protocol.h"
#include "gateway/app.h"
#include "gateway/logger.h"
#include "platform/servicemanager.h"
#include "tests/gateway/app/appfixture.h"
#ifndef _WIN32
#include "tests/gateway/app/notifylistener.h"
#endif

namespace {

using namespace std::chrono_literals;

// Reads the current disposition of a signal without changing it.
void (*disposition(int signal_number))(int) {
    auto previous = std::signal(signal_number, SIG_DFL);
    std::signal(signal_number, previous);
    return previous;
}

std::string read_stream(FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, n);
    return text;
}

struct StatusCase {
    uint32_t state;
    uint32_t exit_code;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << "state " << c.state << " exit " << c.exit_code; }

class StateUpdateTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StateUpdateTest, FillsTheRecord) {
    const StatusCase c = GetParam();
    svc_status = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11};
    winsvc_state_update(platform::SVC_START_PENDING, 0);
    winsvc_state_update(c.state, c.exit_code);
    EXPECT_EQ(svc_status.service_type, platform::SVC_WIN32_OWN_PROCESS);
    EXPECT_EQ(svc_status.current_state, c.state);
    EXPECT_EQ(svc_status.controls_accepted, c.controls_accepted);
    EXPECT_EQ(svc_status.win32_exit_code, c.win32_exit_code);
    EXPECT_EQ(svc_status.service_specific_exit_code, c.exit_code);
    EXPECT_EQ(svc_status.check_point, 0u);
    EXPECT_EQ(svc_status.wait_hint, 0u);
}

INSTANTIATE_TEST_SUITE_P(States, StateUpdateTest,
                         ::testing::Values(StatusCase{platform::SVC_START_PENDING, 0, 0, 0},
                                           StatusCase{platform::SVC_RUNNING, 0, 5, 0},
                                           StatusCase{platform::SVC_STOP_PENDING, 0, 0, 0},
                                           StatusCase{platform::SVC_STOPPED, 0, 0, 0},
                                           StatusCase{platform::SVC_STOPPED, 1, 0, 1066}));

struct MessageCase {
    platform::ServiceStatus status;
    const char* message;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << "state " << c.status.current_state << " exit " << c.status.service_specific_exit_code;
}

class NotifyMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(NotifyMessageTest, MapsTheState) {
    EXPECT_EQ(platform::service_notify_message(GetParam().status), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    States, NotifyMessageTest,
    ::testing::Values(MessageCase{{0x10, 2, 0, 0, 0, 0, 0}, "STATUS=starting"},
                      MessageCase{{0x10, 4, 5, 0, 0, 0, 0}, "READY=1"},
                      MessageCase{{0x10, 3, 0, 0, 0, 0, 0}, "STOPPING=1"},
                      MessageCase{{0x10, 1, 0, 0, 0, 0, 0}, "STATUS=stopped (win32 exit code 0, service exit code 0)"},
                      MessageCase{{0x10, 1, 0, 1066, 1, 0, 0},
                                  "STATUS=stopped (win32 exit code 1066, service exit code 1)\nERRNO=1"}));

// Handlers in the test process: the run flag as a watch loop would have set it.
class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::tmpfile();
        ASSERT_NE(log_, nullptr);
        clear_stop_request();
        running.store(1);
        saved_int_ = std::signal(SIGINT, SIG_IGN);
        saved_term_ = std::signal(SIGTERM, SIG_IGN);
    }
    void TearDown() override {
        clear_stop_request();
        running.store(0);
        std::signal(SIGINT, saved_int_);
        std::signal(SIGTERM, saved_term_);
        std::fclose(log_);
    }
    FILE* log_ = nullptr;
    void (*saved_int_)(int) = nullptr;
    void (*saved_term_)(int) = nullptr;
};

class StopControlTest : public HandlerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(StopControlTest, ReportsStopPendingAndEndsTheRun) {
    winsvc_state_update(platform::SVC_START_PENDING, 0);
    winsvc_state_update(platform::SVC_RUNNING, 0);
    std::signal(SIGINT, handle_signal);
    winsvc_ctrl_handler(GetParam());
    EXPECT_EQ(svc_status.current_state, platform::SVC_STOP_PENDING);
    EXPECT_EQ(svc_status.controls_accepted, 0u);
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(disposition(SIGINT), SIG_DFL);
    report_stop_request(log_);
    const std::string text = read_stream(log_);
    EXPECT_NE(text.find("[event] SIGINT signal received\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Controls, StopControlTest,
                         ::testing::Values(platform::SVC_CONTROL_STOP, platform::SVC_CONTROL_SHUTDOWN));

class IgnoredControlTest : public HandlerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(IgnoredControlTest, ChangesNothing) {
    winsvc_state_update(platform::SVC_START_PENDING, 0);
    winsvc_state_update(platform::SVC_RUNNING, 0);
    const platform::ServiceStatus before = svc_status;
    winsvc_ctrl_handler(GetParam());
    EXPECT_EQ(std::memcmp(&before, &svc_status, sizeof before), 0);
    EXPECT_EQ(running.load(), 1);
    EXPECT_FALSE(stop_requested());
}

INSTANTIATE_TEST_SUITE_P(Controls, IgnoredControlTest,
                         ::testing::Values(platform::SVC_CONTROL_PAUSE, platform::SVC_CONTROL_CONTINUE,
                                           platform::SVC_CONTROL_INTERROGATE, 0x80u, 0u));

struct SignalCase {
    int signal_number;
    const char* line;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.signal_number; }

class StopSignalTest : public HandlerTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(StopSignalTest, ClearsTheFlagRestoresTheDefaultAndIsReportedOnce) {
    const SignalCase c = GetParam();
    install_signal_handlers();
    ASSERT_EQ(disposition(c.signal_number), handle_signal);
    std::raise(c.signal_number);
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(disposition(c.signal_number), SIG_DFL);
    report_stop_request(log_);
    report_stop_request(log_);
    const std::string text = read_stream(log_);
    const std::string expected = std::string("[event] ") + c.line;
    ASSERT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_EQ(text.find(expected), text.rfind(expected));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest,
                         ::testing::Values(SignalCase{SIGINT, "SIGINT signal received\n"},
                                           SignalCase{SIGTERM, "SIGTERM signal received\n"}));

class OtherSignalTest : public HandlerTest, public ::testing::WithParamInterface<int> {};

TEST_P(OtherSignalTest, IsIgnored) {
    std::signal(SIGINT, handle_signal);
    handle_signal(GetParam());
    EXPECT_EQ(running.load(), 1);
    EXPECT_FALSE(stop_requested());
    EXPECT_EQ(disposition(SIGINT), handle_signal);
    report_stop_request(log_);
    EXPECT_EQ(read_stream(log_), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, OtherSignalTest, ::testing::Values(SIGABRT, SIGFPE, SIGILL, SIGSEGV, 0, 99));

TEST(ServiceDispatch, WithoutServiceManagerNothingRuns) {
#ifndef _WIN32
    // The notify socket is how systemd shows itself.
    const char* saved = std::getenv("NOTIFY_SOCKET");
    const std::string kept = saved ? saved : "";
    unsetenv("NOTIFY_SOCKET");
#endif
    svc_status = platform::ServiceStatus{};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run_as_service(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(svc_status.current_state, 0u);
#ifndef _WIN32
    if (saved) setenv("NOTIFY_SOCKET", kept.c_str(), 1);
#endif
}

TEST(ServiceDispatch, ExitStatusOfAFailedRunIsNotZero) {
    platform::ServiceStatus last{};
    last.current_state = platform::SVC_STOPPED;
    EXPECT_EQ(platform::service_exit_status(last), 0);
    last.win32_exit_code = platform::SVC_ERROR_SPECIFIC_EXIT;
    last.service_specific_exit_code = 1;
    const int status = platform::service_exit_status(last);
    // The whole code where an exit status holds it, else a plain failure (1066 & 0xFF would be 42).
    EXPECT_TRUE(status == 1066 || status == 1) << status;
}

TEST(ServiceDispatch, ServiceMainOutsideTheDispatcherRegistersNothing) {
    svc_status = platform::ServiceStatus{};
    ::testing::internal::CaptureStdout();
    winsvc_main(0, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(svc_status.current_state, 0u);
    EXPECT_EQ(svc_status_hnd, nullptr);
    EXPECT_FALSE(platform::deliver_service_control(platform::SVC_CONTROL_STOP));
}

#ifndef _WIN32
// A whole service run in the test process, with the notify socket as the service manager.
class ServiceRunTest : public apptest::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        listener_ = std::make_unique<apptest::NotifyListener>(path("notify.sock"));
        setenv("NOTIFY_SOCKET", listener_->path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        listener_.reset();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        AppFixture::TearDown();
    }
    std::unique_ptr<apptest::NotifyListener> listener_;
};

TEST_F(ServiceRunTest, StopControlThroughTheSeam) {
    install_card();
    load({"-d", "-i", std::to_string(CARD_INDEX)});
    auto service = std::async(std::launch::async, [] { return run_as_service(); });
    EXPECT_EQ(listener_->next(10s), "STATUS=starting");
    EXPECT_EQ(listener_->next(10s), "READY=1");
    EXPECT_EQ(svc_status.controls_accepted, 5u);
    ASSERT_TRUE(platform::deliver_service_control(platform::SVC_CONTROL_STOP));
    // Live summaries may come before; the stop pending report comes once, from the control.
    std::vector<std::string> messages;
    for (const std::string& m : listener_->until("STATUS=stopped", 10s))
        if (m.find("frames/s") == std::string::npos) messages.push_back(m);
    EXPECT_EQ(messages, (std::vector<std::string>{"STOPPING=1", "STATUS=stopped (win32 exit code 0, service exit code 0)"}));
    ASSERT_EQ(service.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(service.get(), 0);
    EXPECT_EQ(svc_status.current_state, platform::SVC_STOPPED);
    EXPECT_EQ(svc_status.win32_exit_code, 0u);
    EXPECT_FALSE(card_->is_open());
    const std::string log = log_text();
    EXPECT_NE(log.find("[event] SIGINT signal received\n"), std::string::npos) << log;
    // After the run no handler is registered any more.
    EXPECT_FALSE(platform::deliver_service_control(platform::SVC_CONTROL_STOP));
}

TEST_F(ServiceRunTest, StartWithoutCardReportsTheFailureAndNeverRunning) {
    load({"-d", "-i", std::to_string(CARD_INDEX)});
    ::testing::internal::CaptureStdout();
    const int status = run_as_service();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("Usage: busgated [OPTION]..."), std::string::npos);
    EXPECT_EQ(listener_->next(10s), "STATUS=starting");
    EXPECT_EQ(listener_->next(10s), "STATUS=stopped (win32 exit code 1066, service exit code 1)\nERRNO=1");
    EXPECT_EQ(listener_->next(100ms), "");
    EXPECT_EQ(svc_status.win32_exit_code, 1066u);
    EXPECT_EQ(svc_status.service_specific_exit_code, 1u);
    EXPECT_FALSE(std::filesystem::exists(buffer_path()));
}

// The error lines of a service run reach the event log under the service's name; the log is
// closed when the run ends and later lines stay out of it.
struct EventLogDouble {
    static inline std::string source;
    static inline std::vector<std::string> entries;
    static inline int closes = 0;
    static void* open(const char* name) {
        source = name;
        return &entries;
    }
    static bool report(void*, const char* text) {
        entries.push_back(text);
        return true;
    }
    static void close(void*) { ++closes; }
};

TEST_F(ServiceRunTest, StartWithoutCardTellsTheEventLogWhy) {
    EventLogDouble::entries.clear();
    EventLogDouble::closes = 0;
    set_service_event_log_calls({EventLogDouble::open, EventLogDouble::report, EventLogDouble::close});
    load({"-d", "-i", std::to_string(CARD_INDEX)});
    ::testing::internal::CaptureStdout();
    const int status = run_as_service();
    (void)::testing::internal::GetCapturedStdout();
    set_service_event_log_calls(platform::system_event_log_calls());
    EXPECT_EQ(status, 1);
    EXPECT_EQ(EventLogDouble::source, "BusgateSvc");
    ASSERT_FALSE(EventLogDouble::entries.empty());
    EXPECT_EQ(EventLogDouble::entries.front(), "linkscope: device (idx=1) not found");
    EXPECT_EQ(EventLogDouble::closes, 1);
    EXPECT_NE(log_text().find("[error] linkscope: device (idx=1) not found"), std::string::npos);
    logger::print(nullptr, logger::ERR, "after the run\n");
    EXPECT_EQ(EventLogDouble::entries.back(), "linkscope: device (idx=1) not found");
}

#endif  // the notify socket

}  // namespace
