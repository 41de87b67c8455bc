// Runs the current test again in namespaces of its own (unshare), so that broadcast, unreachable
// networks and small file systems are tried where they cannot reach anything outside.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace isolated {

constexpr const char* INSIDE_VARIABLE = "BUSGATE_TEST_IN_NAMESPACE";

inline bool inside() { return std::getenv(INSIDE_VARIABLE) != nullptr; }

struct Outcome {
    bool refused = false;  // the namespace could not be made here
    bool passed = false;
    bool skipped = false;
    std::string output;
};

inline std::string run_and_capture(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    status = ::pclose(pipe);
    return output;
}

// unshare_flags as for unshare(1), e.g. "-rn" (user and network namespace).
inline Outcome rerun_current_test(const std::string& unshare_flags) {
    Outcome outcome;
    int status = 0;
    run_and_capture("unshare " + unshare_flags + " true", status);
    if (status != 0) {
        outcome.refused = true;
        return outcome;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    outcome.output = run_and_capture(std::string(INSIDE_VARIABLE) + "=1 unshare " + unshare_flags + " '" + exe +
                                         "' '--gtest_filter=" + filter + "'",
                                     status);
    outcome.passed = status == 0;
    outcome.skipped = outcome.output.find("[  SKIPPED ]") != std::string::npos;
    return outcome;
}

}  // namespace isolated

// Outside the namespace: runs the test inside one and reports its result; inside: goes on.
#define RUN_INSIDE_NAMESPACE(flags)                                                                   \
    do {                                                                                              \
        if (!isolated::inside()) {                                                                    \
            const isolated::Outcome outcome = isolated::rerun_current_test(flags);                    \
            if (outcome.refused) GTEST_SKIP() << "cannot make a namespace here (unshare " flags ")"; \
            if (outcome.skipped) GTEST_SKIP() << outcome.output;                                      \
            ASSERT_TRUE(outcome.passed) << outcome.output;                                            \
            return;                                                                                   \
        }                                                                                             \
    } while (0)
