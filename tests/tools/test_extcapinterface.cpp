// What busdump answers when Wireshark calls it as an extcap program (a capture itself is tried
// in tests/integration/test_wireshark_extcap.cpp).
#include <gtest/gtest.h>

#include <sstream>

#include "tools/busdump/extcapinterface.h"

namespace {

using Action = busdump::ExtcapInterface::Action;

TEST(ExtcapInterface, AnswersWiresharksQueriesAndRefusesWhatItCannotServe) {
    const std::string busgate = "--extcap-interface=busgate";
    // The arguments, what comes of them, and what out (or the error, when refused) holds.
    const std::vector<std::tuple<std::vector<std::string>, Action, std::string>> calls = {
        {{"--extcap-interfaces", "--extcap-version=4.0"}, Action::answered,
         "extcap {version=9.8.7}{display=busgate receiver}\ninterface {value=busgate}{display=busgate receiver}\n"},
        {{"--extcap-interface", "busgate", "--extcap-dlts"}, Action::answered, "dlt {number=1}{name=EN10MB}"},
        {{busgate, "--extcap-config"}, Action::answered,
         "{call=--port}{display=UDP port}{type=unsigned}{range=1,65535}{default=57117}"},
        {{busgate, "--extcap-config"}, Action::answered, "{validation=^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$}"},
        // An empty filter is valid (nothing printed); any other is not, with the reason.
        {{"--extcap-capture-filter", "", busgate}, Action::answered, ""},
        {{"--extcap-capture-filter", "udp", busgate}, Action::answered, "capture filters are not supported"},
        {{"--capture", busgate, "--fifo", "/tmp/f", "--extcap-capture-filter", "udp"}, Action::refused,
         "capture filters are not supported"},
        {{"--extcap-interface", "randpkt", "--extcap-dlts"}, Action::refused, "unknown interface 'randpkt'"},
        {{"--extcap-interface"}, Action::refused, "--extcap-interface needs a value"},
        {{"--capture", busgate}, Action::refused, "--capture needs --fifo"},
        {{busgate, "--port", "47000"}, Action::refused, "without --capture"},
    };
    for (const auto& [args, expected, text] : calls) {
        std::ostringstream out;
        busdump::Options options;
        std::string error;
        const Action action = busdump::ExtcapInterface("9.8.7").handle(args, out, options, error);
        const std::string what = ::testing::PrintToString(args) + ": " + error + "\n" + out.str();
        ASSERT_EQ(action, expected) << what;
        const std::string& said = action == Action::refused ? error : out.str();
        EXPECT_TRUE(text.empty() ? said.empty() : said.find(text) != std::string::npos) << what;
    }
}

}  // namespace
