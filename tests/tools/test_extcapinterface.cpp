// What busdump answers when Wireshark calls it as an extcap program, and the options a capture
// request becomes.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/busdump/extcapinterface.h"

namespace {

using busdump::ExtcapInterface;
using Action = ExtcapInterface::Action;

struct Call {
    std::vector<std::string> args;
    Action action;
    std::string output;  // expected on out, or a part of the error when refused
};

TEST(ExtcapInterface, AnswersWiresharksQueriesAndRefusesWhatItCannotServe) {
    const std::string bind_validation = "{validation=^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$}";
    const std::vector<Call> calls = {
        {{"--extcap-interfaces", "--extcap-version=4.0"}, Action::answered,
         "extcap {version=9.8.7}{display=busgate receiver}\ninterface {value=busgate}{display=busgate receiver}\n"},
        {{"--extcap-interface", "busgate", "--extcap-dlts"}, Action::answered,
         "dlt {number=1}{name=EN10MB}{display=Ethernet}\n"},
        {{"--extcap-interface=busgate", "--extcap-config"}, Action::answered,
         "arg {number=0}{call=--port}{display=UDP port}{type=unsigned}{range=1,65535}{default=57117}"},
        {{"--extcap-config", "--extcap-interface", "busgate"}, Action::answered, bind_validation},
        // An empty filter is valid (nothing printed); any other is not, with the reason.
        {{"--extcap-capture-filter", "", "--extcap-interface", "busgate"}, Action::answered, ""},
        {{"--extcap-capture-filter", "udp port 57117", "--extcap-interface", "busgate"}, Action::answered,
         "busdump takes no capture filter"},
        {{"--extcap-interface", "randpkt", "--extcap-dlts"}, Action::refused, "unknown interface 'randpkt'"},
        {{"--extcap-dlts"}, Action::refused, "no interface given"},
        {{"--extcap-interface"}, Action::refused, "--extcap-interface needs a value"},
        {{"--extcap-interface", "busgate", "--extcap-control-in", "/tmp/x"}, Action::refused,
         "unknown extcap argument --extcap-control-in"},
        {{"--capture", "--extcap-interface", "busgate"}, Action::refused, "--capture needs --fifo"},
        {{"--capture", "--extcap-interface", "busgate", "--fifo", "/tmp/f", "--extcap-capture-filter", "udp"},
         Action::refused, "busdump takes no capture filter"},
        {{"--capture", "--extcap-interface", "busgate", "--fifo", "/tmp/f", "--port", "0"}, Action::refused,
         "expected a port from 1 to 65535"},
        {{"--extcap-interface", "busgate", "--port", "47000"}, Action::refused, "without --capture"},
    };
    for (const Call& call : calls) {
        std::ostringstream out;
        busdump::Options options;
        std::string error;
        const Action action = ExtcapInterface("9.8.7").handle(call.args, out, options, error);
        const std::string what = ::testing::PrintToString(call.args);
        ASSERT_EQ(action, call.action) << what << ": " << error;
        if (action == Action::refused)
            EXPECT_NE(error.find(call.output), std::string::npos) << what << ": " << error;
        else if (call.output.empty())
            EXPECT_EQ(out.str(), "") << what;
        else
            EXPECT_NE(out.str().find(call.output), std::string::npos) << what << ":\n" << out.str();
    }
}

TEST(ExtcapInterface, ACaptureBecomesALiveWriteToTheFifoWithTheDialogsOptions) {
    busdump::Options options;
    std::ostringstream out;
    std::string error;
    // As the capture dialog passes them: an option left empty comes with an empty value.
    const std::vector<std::string> args = {"--capture", "--extcap-interface", "busgate", "--fifo", "/tmp/wireshark_x",
                                           "--port", "47001", "--bind", "127.0.0.1", "--group", ""};
    ASSERT_EQ(ExtcapInterface("1").handle(args, out, options, error), Action::capture) << error;
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(options.write_path, "/tmp/wireshark_x");
    EXPECT_TRUE(options.live_capture);
    EXPECT_TRUE(options.stats) << "no line per record is made for nobody";
    EXPECT_EQ(options.port, 47001);
    EXPECT_EQ(options.bind, "127.0.0.1");
    EXPECT_EQ(options.group, "");

    // Without the dialog's options, busdump's own defaults, the ones the dialog shows.
    ASSERT_EQ(ExtcapInterface("1").handle({"--capture", "--extcap-interface=busgate", "--fifo=/tmp/f"}, out, options,
                                          error),
              Action::capture);
    EXPECT_EQ(options.port, busdump::Options().port);
    EXPECT_EQ(options.bind, busdump::Options().bind);
}

TEST(ExtcapInterface, OnlyExtcapArgumentsMakeAWiresharkCall) {
    EXPECT_TRUE(ExtcapInterface::is_request({"--extcap-interfaces"}));
    EXPECT_TRUE(ExtcapInterface::is_request({"-p", "1", "--capture"}));
    EXPECT_TRUE(ExtcapInterface::is_request({"--fifo=/tmp/f"}));
    EXPECT_FALSE(ExtcapInterface::is_request({"--port", "57117", "-w", "capture.pcap", "--count", "3"}));
    EXPECT_FALSE(ExtcapInterface::is_request({}));
}

}  // namespace
