#include "tools/servicesetup/serviceoptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct OptionsCase {
    Words words;
    bool broadcast;
    const char* refusal;  // a piece of the reason, null when accepted
};

class ReadTest : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(ReadTest, AcceptsWhatTheServiceRunsAsMeant) {
    const OptionsCase& c = GetParam();
    ServiceOptions options;
    std::string error;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool accepted = options.read(c.words, c.broadcast, error);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(accepted, c.refusal == nullptr) << error;
    if (c.refusal != nullptr) {
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ReadTest,
    ::testing::Values(OptionsCase{{"-a", "127.0.0.1", "-p", "47311"}, false, nullptr},
                      OptionsCase{{"-p", "47311"}, false, "no -a"},
                      OptionsCase{{"-p", "47311"}, true, nullptr},
                      OptionsCase{{"-a", "127.0.0.1", "-x"}, false, "refuses"},
                      OptionsCase{{"-a", "127.0.0.1", "--buff_size", "5"}, false, "refuses"},
                      OptionsCase{{"-a", "plant-gw"}, false, "refuses"},
                      OptionsCase{{"-a", "127.0.0.1", "foo"}, false, "foo"},
                      OptionsCase{{"-a", "127.0.0.1", "-R", "5OO"}, false, "5OO"},
                      OptionsCase{{"-a", "127.0.0.1", "-p", "99999"}, false, "refuses"},
                      OptionsCase{{"-a", "127.0.0.1", "-l"}, false, "end busgated at once"},
                      OptionsCase{{"-a", "127.0.0.1", "-v"}, false, "end busgated at once"}));

TEST(ServiceCommand, TheHomeHoldsTheLogAndBufferUnlessTheOptionsNameThem) {
    const std::string program = R"(C:\Program Files\busgate\bin\busgated.exe)";
    const std::string home = R"(C:\ProgramData\busgate)";
    ServiceOptions options;
    std::string error;
    ASSERT_TRUE(options.read({"-a", "127.0.0.1", "-p", "47311"}, false, error)) << error;
    EXPECT_EQ(options.service_command(program, home),
              R"("C:\Program Files\busgate\bin\busgated.exe" -d -a 127.0.0.1 -p 47311 -L C:\ProgramData\busgate\busgated.log -B C:\ProgramData\busgate\buffer.bin)");
    EXPECT_EQ(options.dashboard_command(program, home),
              R"("C:\Program Files\busgate\bin\busgated.exe" -a 127.0.0.1 -p 47311 -s 1000 -L CON -B C:\ProgramData\busgate\dashboard.bin)");

    ASSERT_TRUE(options.read({"-a", "127.0.0.1", "-L", R"(D:\plant logs\gw.log)"}, false, error)) << error;
    EXPECT_EQ(options.service_command(program, home),
              R"("C:\Program Files\busgate\bin\busgated.exe" -d -a 127.0.0.1 -L "D:\plant logs\gw.log" -B C:\ProgramData\busgate\buffer.bin)");
}

}  // namespace
