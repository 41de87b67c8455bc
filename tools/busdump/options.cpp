#include "tools/busdump/options.h"

#include <boost/asio/ip/address_v4.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "gateway/settings.h"

namespace busdump {

namespace {

// About 115 days: far beyond any capture, small enough for every clock type.
constexpr double MAX_SECONDS = 1e7;

bool parse_unsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

bool parse_seconds(const std::string& text, double& out) {
    if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno || *end != '\0' || !std::isfinite(value) || value <= 0 || value > MAX_SECONDS) return false;
    out = value;
    return true;
}

bool parse_ipv4(const std::string& text, boost::asio::ip::address_v4& out) {
    boost::system::error_code ec;
    out = boost::asio::ip::make_address_v4(text, ec);
    return !ec;
}

}  // namespace

Options::Options() : port(static_cast<uint16_t>(DEFAULT_PORT)) {}

std::string Options::usage() {
    return "usage: busdump [options]\n"
           "Receives the datagrams of busgated and shows every record in them.\n\n"
           "  -p, --port N       UDP port to listen on [default=57117]\n"
           "  -b, --bind ADDR    local IPv4 address to listen on [default=0.0.0.0]\n"
           "  -g, --group ADDR   join this IPv4 multicast group\n"
           "  -j, --json         one JSON object per line instead of readable lines\n"
           "  -s, --stats        one summary line per second instead of one line per record\n"
           "  -c N               stop after N datagrams\n"
           "  -t SECONDS         stop after SECONDS (decimals allowed)\n"
           "  -w FILE            also write the datagrams to FILE in pcap format\n"
           "  -h, --help         this text\n"
           "  -V, --version      version\n\n"
           "Gaps in the datagram sequence and in the event indices, gateway restarts and malformed\n"
           "datagrams are reported as lines starting with \"!!\" (objects of type \"notice\" with\n"
           "--json). Totals are printed at the end.\n";
}

bool Options::parse(const std::vector<std::string>& args, Options& out, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_inline_value = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_inline_value = true;
        }
        auto take_value = [&]() {
            if (has_inline_value) return true;
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto refuse = [&](const std::string& what) {
            error = "invalid value '" + value + "' for " + name + ": " + what;
            return false;
        };

        if (name == "-h" || name == "--help") {
            out.help = true;
        } else if (name == "-V" || name == "--version") {
            out.version = true;
        } else if (name == "-j" || name == "--json") {
            out.json = true;
        } else if (name == "-s" || name == "--stats") {
            out.stats = true;
        } else if (name == "-p" || name == "--port") {
            uint64_t port = 0;
            if (!take_value()) return false;
            if (!parse_unsigned(value, 0xFFFF, port) || port == 0) return refuse("expected a port from 1 to 65535");
            out.port = static_cast<uint16_t>(port);
        } else if (name == "-b" || name == "--bind") {
            boost::asio::ip::address_v4 address;
            if (!take_value()) return false;
            if (!parse_ipv4(value, address)) return refuse("expected an IPv4 address such as 127.0.0.1");
            out.bind = value;
        } else if (name == "-g" || name == "--group") {
            boost::asio::ip::address_v4 address;
            if (!take_value()) return false;
            if (!parse_ipv4(value, address) || !address.is_multicast())
                return refuse("expected an IPv4 multicast address, 224.0.0.0 to 239.255.255.255");
            out.group = value;
        } else if (name == "-c" || name == "--count") {
            if (!take_value()) return false;
            if (!parse_unsigned(value, UINT64_MAX, out.count) || out.count == 0)
                return refuse("expected a number of datagrams, 1 or more");
        } else if (name == "-t" || name == "--time") {
            if (!take_value()) return false;
            if (!parse_seconds(value, out.seconds)) return refuse("expected seconds, more than 0 and at most 1e7");
        } else if (name == "-w" || name == "--write") {
            if (!take_value()) return false;
            if (value.empty()) return refuse("expected a file name");
            out.write_path = value;
        } else {
            error = "unknown option '" + args[i] + "' (busdump --help lists them)";
            return false;
        }
        if (has_inline_value && (name == "-h" || name == "--help" || name == "--version" || name == "--json" ||
                                 name == "--stats")) {
            error = "option " + name + " takes no value";
            return false;
        }
    }
    return true;
}

}  // namespace busdump
