#include "sim/simsettings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "common/driver/protocol.h"

namespace sim {

namespace {

constexpr unsigned MAX_STATIONS = 256;
constexpr uint64_t MIN_CYCLE_US = 100, MAX_CYCLE_US = 60000000;
constexpr uint64_t MIN_BITRATE = 1000, MAX_BITRATE = 1000000000;
constexpr uint64_t MIN_IRQ_US = 100, MAX_IRQ_US = 60000000;
constexpr uint64_t MAX_UNPLUG_MS = 1000ull * 3600 * 24 * 365;

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Strict decimal: digits only, no sign, no spaces.
bool parse_unsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v < min || v > max) return false;
    *value = v;
    return true;
}

// A card serial number, as the lifesigns show it (0x4c530001) or in decimal; 0 is no card's.
bool parse_serial(const std::string& text, uint64_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex) return parse_unsigned(text, 1, UINT32_MAX, value);
    const std::string digits = text.substr(2);
    if (digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    *value = std::strtoull(digits.c_str(), nullptr, 16);
    return *value != 0;
}

// "A.B.C.D" or "A.B.C.D:PORT", decimal.
bool parse_address(const std::string& text, uint32_t* address, uint16_t* port) {
    const std::size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    uint32_t value = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? host.find('.', start) : host.size();
        if (dot == std::string::npos) return false;
        uint64_t octet = 0;
        if (!parse_unsigned(host.substr(start, dot - start), 0, 255, &octet)) return false;
        value = (value << 8) | static_cast<uint32_t>(octet);
        start = dot + 1;
    }
    uint64_t number = 0;
    if (colon != std::string::npos && !parse_unsigned(text.substr(colon + 1), 1, 65535, &number)) return false;
    *address = value;
    *port = static_cast<uint16_t>(number);
    return true;
}

bool parse_probability(const std::string& text, double* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0 || v > 1) return false;
    *value = v;
    return true;
}

bool parse_devices(const std::string& text, std::vector<int>* devices) {
    std::vector<int> numbers;
    std::set<int> seen;
    std::size_t start = 0;
    for (;;) {
        const std::size_t plus = text.find('+', start);
        const std::string item = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        uint64_t n = 0;
        if (!parse_unsigned(item, linkscope::FIRST_DEVICE_NUMBER, linkscope::MAX_DEVICE_NUMBER, &n)) return false;
        if (item[0] == '0' || !seen.insert(static_cast<int>(n)).second) return false;
        numbers.push_back(static_cast<int>(n));
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    *devices = numbers;
    return true;
}

std::string range_text(uint64_t min, uint64_t max) {
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

class Parser {
public:
    Parser(SimSettings* s, std::string* error) : s_(s), error_(error) {}

    bool setting(const std::string& key, const std::string& value) {
        if (key == "cards") {
            uint64_t n = 0;
            if (!number(key, value, 1, linkscope::MAX_DEVICE_NUMBER, &n)) return false;
            s_->devices.clear();
            for (uint64_t i = 1; i <= n; ++i) s_->devices.push_back(static_cast<int>(i));
            cards_given_ = true;
            return true;
        }
        if (key == "devices") {
            if (!parse_devices(value, &s_->devices))
                return bad(key, value, "device numbers from 1 to 255 joined by '+', each once");
            devices_given_ = true;
            return true;
        }
        if (key == "stations") return small(key, value, 0, MAX_STATIONS, &s_->stations);
        if (key == "absent") return small(key, value, 0, MAX_STATIONS, &s_->absent);
        if (key == "cycle_us") return number(key, value, MIN_CYCLE_US, MAX_CYCLE_US, &s_->cycle_us);
        if (key == "bitrate") return number(key, value, MIN_BITRATE, MAX_BITRATE, &s_->bitrate);
        if (key == "fcs_mode") return byte(key, value, linkscope::STATUS_FCS_MODE_MASK, &s_->fcs_mode);
        if (key == "period_code") return byte(key, value, linkscope::STATUS_PERIOD_CODE_MASK, &s_->period_code);
        if (key == "irq_us") return number(key, value, MIN_IRQ_US, MAX_IRQ_US, &s_->irq_us);
        if (key == "speed") {
            if (value == "real") s_->speed = SimSpeed::real;
            else if (value == "max") s_->speed = SimSpeed::max;
            else return bad(key, value, "real or max");
            return true;
        }
        if (key == "fcs_err") return probability(key, value, &s_->fcs_err);
        if (key == "loss") return probability(key, value, &s_->loss);
        if (key == "status_err") return probability(key, value, &s_->status_err);
        if (key == "unknown") return probability(key, value, &s_->unknown);
        if (key == "seed") return number(key, value, 0, UINT64_MAX, &s_->seed);
        if (key == "unplug_ms") {
            s_->unplug = true;
            return number(key, value, 0, MAX_UNPLUG_MS, &s_->unplug_ms);
        }
        if (key == "replay_serial") {
            uint64_t serial = 0;
            if (!parse_serial(value, &serial)) return bad(key, value, "a card serial number such as 0x4c530001, not 0");
            s_->replay_serial = static_cast<uint32_t>(serial);
            return true;
        }
        if (key == "replay_address") {
            if (!parse_address(value, &s_->replay_address, &s_->replay_port))
                return bad(key, value, "an IPv4 address, or address:port, such as 10.0.0.5:57117");
            s_->replay_by_address = true;
            return true;
        }
        if (key == "silent") {
            unsigned address = 0;
            if (!small(key, value, 0, MAX_STATIONS - 1, &address)) return false;
            s_->silent = static_cast<int>(address);
            return true;
        }
        if (key == "slow_id") {
            uint64_t id = 0;
            if (!parse_serial(value, &id) || id > UINT16_MAX)
                return bad(key, value, "an identifier from 1 to 0xffff such as 0x0203");
            s_->slow_id = static_cast<uint16_t>(id);
            return true;
        }
        if (key == "replay") {
            if (value.empty()) return bad(key, value, "the path of a capture, a folder of captures or a file of event blocks");
            s_->replay = value;
            return true;
        }
        *error_ = "unknown key '" + key + "'";
        return false;
    }

    bool finish() {
        if (cards_given_ && devices_given_) {
            *error_ = "devices: cannot be combined with cards";
            return false;
        }
        if (s_->absent > s_->stations) {
            *error_ = "absent: " + std::to_string(s_->absent) + " is more than the " + std::to_string(s_->stations) +
                      " stations";
            return false;
        }
        return true;
    }

private:
    bool bad(const std::string& key, const std::string& value, const std::string& expected) {
        *error_ = key + ": bad value '" + value + "' (expected " + expected + ")";
        return false;
    }
    bool number(const std::string& key, const std::string& value, uint64_t min, uint64_t max, uint64_t* out) {
        if (!parse_unsigned(value, min, max, out)) return bad(key, value, range_text(min, max));
        return true;
    }
    bool small(const std::string& key, const std::string& value, unsigned min, unsigned max, unsigned* out) {
        uint64_t v = 0;
        if (!number(key, value, min, max, &v)) return false;
        *out = static_cast<unsigned>(v);
        return true;
    }
    bool byte(const std::string& key, const std::string& value, unsigned max, uint8_t* out) {
        uint64_t v = 0;
        if (!number(key, value, 0, max, &v)) return false;
        *out = static_cast<uint8_t>(v);
        return true;
    }
    bool probability(const std::string& key, const std::string& value, double* out) {
        if (!parse_probability(value, out)) return bad(key, value, "a probability from 0 to 1");
        return true;
    }

    SimSettings* s_;
    std::string* error_;
    bool cards_given_ = false;
    bool devices_given_ = false;
};

}  // namespace

bool SimSettings::parse(const std::string& text, SimSettings* settings, std::string* error) {
    SimSettings parsed;
    Parser parser(&parsed, error);
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item != "1") {
            const std::size_t equals = item.find('=');
            if (item.empty()) {
                *error = "empty setting in '" + text + "'";
                return false;
            }
            if (equals == std::string::npos) {
                *error = "'" + item + "' is not a key=value setting";
                return false;
            }
            if (!parser.setting(trim(item.substr(0, equals)), trim(item.substr(equals + 1)))) return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (!parser.finish()) return false;
    *settings = parsed;
    return true;
}

}  // namespace sim
