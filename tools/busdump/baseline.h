// The commissioning baseline of busdump --analyze: what each sender's bus looked like (its
// stations with their error rates, its identifiers with their periods), keyed by the card's
// serial number; written with --save-baseline at exit, read with --baseline at start.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace busdump {

struct BaselineSender {
    std::map<uint8_t, double> stations;  // present stations: address -> errors per mille of their frames
    struct Periods {
        double mean_us = 0;
        uint64_t min_us = 0;
        uint64_t max_us = 0;
    };
    std::map<uint16_t, Periods> identifiers;
};

struct Baseline {
    std::map<uint32_t, BaselineSender> senders;  // by card serial

    // False with a one-line reason: a file that cannot be read, does not parse or holds no sender.
    static bool load(const std::string& path, Baseline& out, std::string& error);
    static bool parse(const std::string& text, Baseline& out, std::string& error);
    std::string to_json() const;
};

}  // namespace busdump
