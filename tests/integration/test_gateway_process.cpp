// The child-process launcher itself, on a child that echoes what it got: arguments word for word
// (the Windows command line is one string the child splits again), the environment laid over the
// test's, the exit status, the output as text and a reader that stops early.
#include <gtest/gtest.h>

#include <string>

#include "tests/integration/support/gatewayprocess.h"

namespace {

using namespace std::chrono_literals;
using integration::GatewayProcess;

std::vector<std::string> echo_args(const std::string& status, const std::string& variable,
                                   const std::vector<std::string>& words) {
    std::vector<std::string> args{status, variable};
    args.insert(args.end(), words.begin(), words.end());
    return args;
}

TEST(GatewayProcessTest, ArgumentsArriveWordForWordAndTheStatusIsTheChilds) {
    const std::vector<std::string> words{"plain", "two words", "", "say \"hi\"", "C:\\dir with space\\",
                                         "back\\\\slashes\\\"", "tab\there"};
    GatewayProcess child(ECHO_PATH, echo_args("3", "NOT_SET_ANYWHERE", words));
    EXPECT_EQ(child.wait_exit(20s), 3);
    std::string expected = "env:(unset)\n";
    for (const auto& word : words) expected += "arg:[" + word + "]\n";
    EXPECT_EQ(child.stdout_text(), expected) << "lines end in \\n alone, arguments are unchanged";
    EXPECT_EQ(child.stderr_text(), "");
}

TEST(GatewayProcessTest, EnvironmentIsLaidOverTheTests) {
    // BUSGATED comes from ctest: an override replaces it, an empty value removes it.
    ASSERT_FALSE(integration::busgated_path().empty()) << "BUSGATED is not set";
    GatewayProcess replaced(ECHO_PATH, echo_args("0", "BUSGATED", {}), {{"BUSGATED", "elsewhere"}});
    GatewayProcess removed(ECHO_PATH, echo_args("0", "BUSGATED", {}), {{"BUSGATED", ""}});
    GatewayProcess inherited(ECHO_PATH, echo_args("0", "BUSGATED", {}), {{"UNRELATED", "1"}});
    EXPECT_EQ(replaced.wait_exit(20s), 0);
    EXPECT_EQ(removed.wait_exit(20s), 0);
    EXPECT_EQ(inherited.wait_exit(20s), 0);
    EXPECT_EQ(replaced.stdout_text(), "env:elsewhere\n");
    EXPECT_EQ(removed.stdout_text(), "env:(unset)\n");
    EXPECT_EQ(inherited.stdout_text(), "env:" + integration::busgated_path() + "\n");
}

TEST(GatewayProcessTest, OutputLimitKeepsThatManyBytesAndTheExitIsStillSeen) {
    const std::vector<std::string> words(200, std::string(100, 'x'));
    GatewayProcess child(ECHO_PATH, echo_args("0", "NOT_SET_ANYWHERE", words), {}, 50);
    // The child may end on its own or fail on the closed pipe: either way it ends.
    EXPECT_NE(child.wait_exit(20s), -1);
    EXPECT_EQ(child.stdout_text(), "env:(unset)\narg:[" + std::string(50 - 17, 'x'));
}

}  // namespace
