// Keeps a warning or error that repeats for every frame or datagram from filling the disk:
// at most a few lines of one kind a second are written, and once a second one line tells how
// many of that kind were left out. What the lines report is counted elsewhere, exactly.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class RepeatLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned DEFAULT_LINES_PER_SECOND = 5;

    // `kind` names the lines in the summary ("fip frame loss"); `level` is the logger level of
    // both the lines and the summary.
    RepeatLimiter(FILE* log, int level, std::string kind, unsigned lines_per_second = DEFAULT_LINES_PER_SECOND);

    RepeatLimiter(const RepeatLimiter&) = delete;
    RepeatLimiter& operator=(const RepeatLimiter&) = delete;

    // Whether a line of this kind may be written now. When not, it is counted as left out.
    bool admit(Clock::time_point now = Clock::now());

    // Writes "<kind>: N more left out in the last second" when lines were left out since the
    // last summary; meant to be called once a second (and once at the end).
    void summarize();

    // Lines left out since construction.
    uint64_t left_out_total() const;

private:
    FILE* log_;
    int level_;
    std::string kind_;
    unsigned lines_per_second_;

    mutable std::mutex mutex_;
    Clock::time_point window_start_{};
    unsigned admitted_in_window_ = 0;
    uint64_t left_out_since_summary_ = 0;
    uint64_t left_out_total_ = 0;
};
