// What a running service tells its manager besides its state: a short live summary every few
// seconds, and a sign of life as often as the manager's watchdog asks for one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "gateway/card/fipstats.h"
#include "gateway/udp/udpstats.h"

class ServiceReporter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds SUMMARY_PERIOD{5};

    // `watchdog_interval`: how often the manager wants a sign of life; zero for never.
    explicit ServiceReporter(std::chrono::microseconds watchdog_interval);

    struct Due {
        bool summary = false;
        bool alive = false;
    };
    // Called by the watch loop on every round: what is to be sent now. The first call asks for
    // both; a sign of life then comes every half watchdog interval, a summary every SUMMARY_PERIOD.
    Due tick(Clock::time_point now);

    // "1520 frames/s, 3 datagrams/s, 0 records dropped, link up"
    static std::string summary_text(const FIPStats& card, const UDPStats& udp, uint64_t records_dropped);

private:
    Clock::duration alive_period_;
    bool started_ = false;
    Clock::time_point next_summary_;
    Clock::time_point next_alive_;
};
