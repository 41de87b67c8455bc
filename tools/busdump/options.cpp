#include "tools/busdump/options.h"

#include <boost/asio/ip/address_v4.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common/driver/controlbyte.h"
#include "common/stream/defaultport.h"
#include "tools/busdump/argscanner.h"

namespace busdump {

namespace {

// About 115 days: far beyond any capture, small enough for every clock type.
constexpr double MAX_SECONDS = 1e7;
constexpr uint64_t MAX_IDENTIFIER = 0xFFFF;
constexpr uint64_t MAX_CONTROL = 0xFF;
constexpr double MAX_TOLERANCE_PERCENT = 1000;

enum OptionId { PORT, BIND, GROUP, JSON, STATS, VERBOSE, COUNT, TIME, WRITE, ID, CONTROL, ERRORS, LIFESIGNS, HELP, VERSION,
                ANALYZE, INTERVAL, TOLERANCE, SAVE_BASELINE, BASELINE, MAX_ERROR_RATE, METRICS };

const std::vector<ArgScanner::Spec>& specs() {
    static const std::vector<ArgScanner::Spec> all = {
        {PORT, 'p', "port", true},         {BIND, 'b', "bind", true},       {GROUP, 'g', "group", true},
        {JSON, 'j', "json", false},        {STATS, 's', "stats", false},    {VERBOSE, 'v', "verbose", false},
        {COUNT, 'c', "count", true},       {TIME, 't', "time", true},       {WRITE, 'w', "write", true},
        {ID, 'i', "id", true},             {CONTROL, 'k', "control", true}, {ERRORS, 'e', "errors", false},
        {LIFESIGNS, 'l', "lifesigns", false}, {HELP, 'h', "help", false},   {VERSION, 'V', "version", false},
        {ANALYZE, 'a', "analyze", false},  {INTERVAL, 0, "interval", true}, {TOLERANCE, 0, "tolerance", true},
        {SAVE_BASELINE, 0, "save-baseline", true}, {BASELINE, 0, "baseline", true},
        {MAX_ERROR_RATE, 0, "max-error-rate", true}, {METRICS, 0, "metrics", true},
    };
    return all;
}

bool parse_unsigned(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

// Decimal, or hexadecimal after "0x", as identifiers and control bytes are usually written.
bool parse_number(const std::string& text, uint64_t max, uint64_t& out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex) return parse_unsigned(text, max, out);
    const std::string digits = text.substr(2);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || digits.size() > 16) return false;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 16);
    if (value > max) return false;
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

// "ID_DAT" or "id_dat": the known control byte of that name.
bool control_by_name(const std::string& text, uint8_t& out) {
    std::string upper = text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (unsigned control = 0; control <= MAX_CONTROL; ++control) {
        const auto byte = static_cast<uint8_t>(control);
        if (linkscope::ControlByte::is_known(byte) && upper == linkscope::ControlByte::name(byte)) {
            out = byte;
            return true;
        }
    }
    return false;
}

// "a,b,c" into its items; an empty item is kept so that it can be refused.
std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

class Applier {
public:
    Applier(Options& out, std::string& error) : out_(out), error_(error) {}

    bool apply(const ArgScanner::Item& item) {
        name_ = item.name;
        value_ = item.value;
        switch (static_cast<OptionId>(item.id)) {
            case HELP: out_.help = true; return true;
            case VERSION: out_.version = true; return true;
            case JSON: out_.json = true; return true;
            case STATS: out_.stats = true; return true;
            case VERBOSE: out_.verbose = true; return true;
            case ERRORS: out_.errors_only = true; return true;
            case LIFESIGNS: out_.lifesigns_only = true; return true;
            case PORT: return port();
            case BIND: return bind();
            case GROUP: return group();
            case COUNT:
                if (!parse_unsigned(value_, UINT64_MAX, out_.count) || out_.count == 0)
                    return refuse("expected a number of datagrams, 1 or more");
                return true;
            case TIME:
                if (!parse_seconds(value_, out_.seconds)) return refuse("expected seconds, more than 0 and at most 1e7");
                return true;
            case WRITE:
                if (value_.empty()) return refuse("expected a file name");
                out_.write_path = value_;
                return true;
            case ANALYZE: out_.analyze = true; return true;
            case INTERVAL:
                if (!parse_seconds(value_, out_.interval)) return refuse("expected seconds, more than 0 and at most 1e7");
                return true;
            case TOLERANCE: return tolerance();
            case SAVE_BASELINE:
                if (value_.empty()) return refuse("expected a file name");
                out_.save_baseline_path = value_;
                out_.analyze = true;
                return true;
            case BASELINE: return baseline();
            case MAX_ERROR_RATE:
                if (!parse_seconds(value_, out_.max_error_permille) || out_.max_error_permille > 1000)
                    return refuse("expected errors per mille, more than 0 and at most 1000");
                return true;
            case METRICS: return metrics();
            case ID: return identifiers();
            case CONTROL: return controls();
        }
        return refuse("not handled");
    }

private:
    bool refuse(const std::string& what) {
        error_ = "invalid value '" + value_ + "' for " + name_ + ": " + what;
        return false;
    }

    bool port() {
        uint64_t port = 0;
        if (!parse_unsigned(value_, 0xFFFF, port) || port == 0) return refuse("expected a port from 1 to 65535");
        out_.port = static_cast<uint16_t>(port);
        return true;
    }

    bool bind() {
        boost::asio::ip::address_v4 address;
        if (!parse_ipv4(value_, address)) return refuse("expected an IPv4 address such as 127.0.0.1");
        out_.bind = value_;
        return true;
    }

    bool group() {
        boost::asio::ip::address_v4 address;
        if (!parse_ipv4(value_, address) || !address.is_multicast())
            return refuse("expected an IPv4 multicast address, 224.0.0.0 to 239.255.255.255");
        out_.group = value_;
        return true;
    }

    // [ADDR:]PORT
    bool metrics() {
        const std::size_t colon = value_.rfind(':');
        const std::string address = colon == std::string::npos ? out_.metrics_address : value_.substr(0, colon);
        const std::string port_text = colon == std::string::npos ? value_ : value_.substr(colon + 1);
        boost::asio::ip::address_v4 parsed;
        uint64_t port = 0;
        if (!parse_ipv4(address, parsed) || !parse_unsigned(port_text, 0xFFFF, port) || port == 0)
            return refuse("expected [ADDR:]PORT, an IPv4 address and a TCP port from 1 to 65535, such as 127.0.0.1:9717");
        out_.metrics_address = address;
        out_.metrics_port = static_cast<uint16_t>(port);
        return true;
    }

    bool baseline() {
        auto loaded = std::make_shared<Baseline>();
        std::string why;
        if (value_.empty() || !Baseline::load(value_, *loaded, why)) return refuse(value_.empty() ? "expected a file name" : why);
        out_.baseline_path = value_;
        out_.baseline = loaded;
        out_.analyze = true;
        return true;
    }

    bool tolerance() {
        double percent = 0;
        if (!parse_seconds(value_, percent) || percent > MAX_TOLERANCE_PERCENT)
            return refuse("expected a percentage, more than 0 and at most 1000");
        out_.tolerance_percent = percent;
        return true;
    }

    bool identifiers() {
        for (const std::string& item : split_list(value_)) {
            uint64_t identifier = 0;
            if (!parse_number(item, MAX_IDENTIFIER, identifier))
                return refuse("expected identifiers from 0 to 0xFFFF, such as 0x9080, joined by ','");
            out_.identifiers.push_back(static_cast<uint16_t>(identifier));
        }
        return true;
    }

    bool controls() {
        for (const std::string& item : split_list(value_)) {
            uint64_t number = 0;
            uint8_t control = 0;
            if (parse_number(item, MAX_CONTROL, number))
                control = static_cast<uint8_t>(number);
            else if (!control_by_name(item, control))
                return refuse("expected control bytes from 0 to 0xFF or names such as RP_DAT, joined by ','");
            out_.controls.push_back(control);
        }
        return true;
    }

    Options& out_;
    std::string& error_;
    std::string name_;
    std::string value_;
};

}  // namespace

Options::Options() : port(static_cast<uint16_t>(DEFAULT_PORT)) {}

std::string Options::usage() {
    return "usage: busdump [options]\n"
           "Receives the datagrams of busgated and shows every record in them, per sender.\n\n"
           "  -p, --port N          UDP port to listen on [default=57117]\n"
           "  -b, --bind ADDR       local IPv4 address to listen on [default=0.0.0.0]\n"
           "  -g, --group ADDR      join this IPv4 multicast group\n"
           "  -j, --json            one JSON object per line instead of readable lines\n"
           "  -s, --stats           one summary line per second instead of one line per record\n"
           "  -v, --verbose         show every frame byte, not only the data bytes\n"
           "  -c, --count N         stop after N datagrams\n"
           "  -t, --time SECONDS    stop after SECONDS (decimals allowed)\n"
           "  -w, --write FILE      also write the datagrams to FILE in pcap format\n"
           "                        (LINKSCOPE_SIM=replay=FILE plays it back into a gateway)\n"
           "  -i, --id ID[,ID]      show only ID frames of these identifiers and the responses\n"
           "                        to them (0x9080 or decimal; repeatable)\n"
           "  -k, --control C[,C]   show only frames with these control bytes (0x02 or a name\n"
           "                        such as RP_DAT; repeatable)\n"
           "  -e, --errors          show only events with a reception error, a bad frame check\n"
           "                        or an unknown control byte, and records of unknown type\n"
           "  -l, --lifesigns       show only lifesign records\n"
           "  -a, --analyze         the bus analysis of each sender instead of the records:\n"
           "                        stations, identifiers with their periods, the macrocycle\n"
           "                        and the losses, every --interval and at exit\n"
           "      --interval SECONDS  how often --analyze reports [default=1]\n"
           "      --tolerance PERCENT  a period this far above an identifier's typical period\n"
           "                        counts as late [default=10]\n"
           "      --save-baseline FILE  write each sender's bus (stations, identifiers, periods,\n"
           "                        error rates) to FILE at exit, by card serial\n"
           "      --baseline FILE   compare each sender with FILE: ALERT and CLEARED lines for\n"
           "                        stations and identifiers missing or new, periods beyond\n"
           "                        --tolerance, error rates above --max-error-rate\n"
           "      --max-error-rate PERMILLE  [default=1]\n"
           "      --metrics [ADDR:]PORT  serve the figures of every sender, its stations and\n"
           "                        alerts to Prometheus at http://ADDR:PORT/metrics (runs the\n"
           "                        bus analysis; ADDR defaults to 127.0.0.1)\n"
           "  -h, --help            this text\n"
           "  -V, --version         version\n\n"
           "Short options group (-js) and take their value attached or apart (-p57117, -p 57117);\n"
           "long ones take it after '=' or apart and may be shortened while unambiguous (--po).\n"
           "Each sender is followed as a stream of its own; a gateway (address and card serial)\n"
           "stays one sender through its restarts. Gaps in its datagram sequence and event\n"
           "indices, its restarts and its malformed datagrams are reported as lines starting\n"
           "with \"!!\" that name it (objects of type \"notice\" with --json). Filters choose the\n"
           "records shown; everything is counted. Totals per sender and overall are printed at\n"
           "the end. Exit status 3: datagrams could not be written to the -w file.\n";
}

bool Options::parse(const std::vector<std::string>& args, Options& out, std::string& error) {
    std::vector<ArgScanner::Item> items;
    std::vector<std::string> operands;
    if (!ArgScanner(specs()).scan(args, items, operands, error)) return false;
    if (!operands.empty()) {
        error = "unexpected argument '" + operands.front() + "' (busdump takes options only)";
        return false;
    }
    Applier applier(out, error);
    for (const ArgScanner::Item& item : items)
        if (!applier.apply(item)) return false;
    return true;
}

}  // namespace busdump
