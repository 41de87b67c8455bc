// Helpers for tests that call load_settings with a command line of their own.
#pragma once

#include <cstdio>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/appcfg.h"
#include "gateway/settings.h"

namespace apptest {

// A writable argv (getopt_long permutes it).
class CommandLine {
public:
    explicit CommandLine(std::vector<std::string> words) : words_(std::move(words)) {
        for (auto& word : words_) argv_.push_back(word.data());
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

struct SettingsResult {
    int status;
    int go_on;
    std::string out;
    std::string err;
};

// Runs load_settings on `words` and returns its status, go_on flag and standard output.
inline SettingsResult run_load_settings(std::vector<std::string> words) {
    CommandLine line(std::move(words));
    SettingsResult result{};
    result.go_on = -1;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    result.status = load_settings(line.argc(), line.argv(), &result.go_on);
    std::fflush(stdout);
    result.out = ::testing::internal::GetCapturedStdout();
    result.err = ::testing::internal::GetCapturedStderr();
    return result;
}

}  // namespace apptest
