#include "tools/busdump/options.h"

#include <boost/asio/ip/address_v4.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "common/driver/controlbyte.h"
#include "common/stream/defaultport.h"
#include "tools/busdump/argscanner.h"
#include "tools/busdump/mqttclient.h"

namespace busdump {

namespace {

// About 115 days: far beyond any capture, small enough for every clock type.
constexpr uint64_t MAX_MQTT_QUEUE = 1000000;
constexpr double MAX_SECONDS = 1e7;
constexpr uint64_t MAX_IDENTIFIER = 0xFFFF;
constexpr uint64_t MAX_CONTROL = 0xFF;
constexpr double MAX_TOLERANCE_PERCENT = 1000;
// Sizes of ring files count in millions of bytes, as packet capture tools count them. The
// smallest still holds the largest datagram; the largest is a petabyte.
constexpr double BYTES_PER_MB = 1e6;
constexpr double MIN_MB = 0.1;
constexpr double MAX_MB = 1e9;

enum OptionId { PORT, BIND, GROUP, JSON, STATS, VERBOSE, COUNT, TIME, WRITE, ID, CONTROL, ERRORS, LIFESIGNS, HELP, VERSION,
                ANALYZE, INTERVAL, TOLERANCE, SAVE_BASELINE, BASELINE, MAX_ERROR_RATE, FORMAT, MQTT, MQTT_TOPIC,
                MQTT_QUEUE, MQTT_USER, MQTT_PASSWORD_FILE, MQTT_CAFILE, MQTT_CAPATH, MQTT_CERT, MQTT_KEY, FILE_SIZE,
                FILE_SECONDS, FILES, DISK_BUDGET, KEEP_DIR, KEEP_BEFORE, KEEP_AFTER, KEEP_NOW, QUIET,
                METRICS };

const std::vector<ArgScanner::Spec>& specs() {
    static const std::vector<ArgScanner::Spec> all = {
        {PORT, 'p', "port", true},         {BIND, 'b', "bind", true},       {GROUP, 'g', "group", true},
        {JSON, 'j', "json", false},        {STATS, 's', "stats", false},    {VERBOSE, 'v', "verbose", false},
        {COUNT, 'c', "count", true},       {TIME, 't', "time", true},       {WRITE, 'w', "write", true},
        {ID, 'i', "id", true},             {CONTROL, 'k', "control", true}, {ERRORS, 'e', "errors", false},
        {LIFESIGNS, 'l', "lifesigns", false}, {HELP, 'h', "help", false},   {VERSION, 'V', "version", false},
        {ANALYZE, 'a', "analyze", false},  {INTERVAL, 0, "interval", true}, {TOLERANCE, 0, "tolerance", true},
        {SAVE_BASELINE, 0, "save-baseline", true}, {BASELINE, 0, "baseline", true},
        {MAX_ERROR_RATE, 0, "max-error-rate", true}, {FORMAT, 'F', "format", true},
        {MQTT, 0, "mqtt", true},           {MQTT_TOPIC, 0, "mqtt-topic", true}, {MQTT_QUEUE, 0, "mqtt-queue", true},
        {MQTT_USER, 0, "mqtt-user", true}, {MQTT_PASSWORD_FILE, 0, "mqtt-password-file", true},
        {MQTT_CAFILE, 0, "mqtt-cafile", true}, {MQTT_CAPATH, 0, "mqtt-capath", true},
        {MQTT_CERT, 0, "mqtt-cert", true}, {MQTT_KEY, 0, "mqtt-key", true},
        {FILE_SIZE, 'C', "file-size", true},  {FILE_SECONDS, 'G', "file-seconds", true}, {FILES, 'W', "files", true},
        {DISK_BUDGET, 0, "disk-budget", true}, {KEEP_DIR, 0, "keep-dir", true}, {KEEP_BEFORE, 0, "keep-before", true},
        {KEEP_AFTER, 0, "keep-after", true},  {KEEP_NOW, 0, "keep-now", false},   {QUIET, 'q', "quiet", false},
        {METRICS, 0, "metrics", true},
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

// Seconds from 0 (a keep window may start or end at the moment itself).
bool parse_seconds_or_zero(const std::string& text, double& out) {
    if (text == "0") {
        out = 0;
        return true;
    }
    return parse_seconds(text, out);
}

bool parse_megabytes(const std::string& text, uint64_t& bytes) {
    double mb = 0;
    if (!parse_seconds(text, mb) || mb < MIN_MB || mb > MAX_MB) return false;
    bytes = static_cast<uint64_t>(mb * BYTES_PER_MB);
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
            case QUIET: out_.quiet = true; return true;
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
            case FORMAT:
                if (value_ != "pcap" && value_ != "pcapng") return refuse("expected pcap or pcapng");
                out_.write_format = value_;
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
            case MQTT: return mqtt();
            case MQTT_TOPIC: return mqtt_topic();
            case MQTT_QUEUE: {
                uint64_t limit = 0;
                if (!parse_unsigned(value_, MAX_MQTT_QUEUE, limit) || limit == 0)
                    return refuse("expected a number of messages from 1 to 1000000");
                out_.mqtt.queue_limit = limit;
                return true;
            }
            case MQTT_USER:
                if (value_.empty()) return refuse("expected a user name");
                out_.mqtt.username = value_;
                return true;
            case MQTT_PASSWORD_FILE: return mqtt_password();
            case MQTT_CAFILE: return file_name(out_.mqtt.cafile);
            case MQTT_CAPATH: return file_name(out_.mqtt.capath);
            case MQTT_CERT: return file_name(out_.mqtt.certfile);
            case MQTT_KEY: return file_name(out_.mqtt.keyfile);
            case FILE_SIZE:
                if (!parse_megabytes(value_, out_.file_bytes)) return refuse("expected megabytes (10^6 bytes), 0.1 or more");
                return true;
            case DISK_BUDGET:
                if (!parse_megabytes(value_, out_.budget_bytes)) return refuse("expected megabytes (10^6 bytes), 0.1 or more");
                return true;
            case FILE_SECONDS:
                if (!parse_unsigned(value_, static_cast<uint64_t>(MAX_SECONDS), out_.file_seconds) || !out_.file_seconds)
                    return refuse("expected whole seconds, 1 or more");
                return true;
            case FILES:
                if (!parse_unsigned(value_, UINT32_MAX, out_.max_files) || !out_.max_files)
                    return refuse("expected a number of files, 1 or more");
                return true;
            case KEEP_DIR:
                if (value_.empty()) return refuse("expected a folder");
                out_.keep_dir = value_;
                return true;
            case KEEP_BEFORE:
                if (!parse_seconds_or_zero(value_, out_.keep_before)) return refuse("expected seconds, 0 to 1e7");
                return true;
            case KEEP_AFTER:
                if (!parse_seconds_or_zero(value_, out_.keep_after)) return refuse("expected seconds, 0 to 1e7");
                return true;
            case KEEP_NOW: out_.keep_now = true; return true;
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

    // HOST or HOST:PORT; an IPv6 address (more than one ':') is a host without port.
    bool mqtt() {
        if (!MqttClient::available())
            return refuse("this busdump was built without libmosquitto: MQTT output is not available here");
        std::string host = value_;
        const std::size_t colon = value_.rfind(':');
        if (colon != std::string::npos && value_.find(':') == colon) {
            uint64_t port = 0;
            if (!parse_unsigned(value_.substr(colon + 1), 0xFFFF, port) || port == 0)
                return refuse("expected HOST or HOST:PORT with a port from 1 to 65535");
            host = value_.substr(0, colon);
            out_.mqtt.port = static_cast<uint16_t>(port);
        }
        if (host.empty()) return refuse("expected HOST or HOST:PORT");
        out_.mqtt.host = host;
        return true;
    }

    bool mqtt_topic() {
        if (value_.empty() || value_.find_first_of("+#") != std::string::npos || value_.front() == '/' ||
            value_.back() == '/')
            return refuse("expected a topic prefix without '+', '#' and without '/' at its ends");
        out_.mqtt.topic = value_;
        return true;
    }

    // The first line of the file; a password never stands on the command line.
    bool mqtt_password() {
        std::ifstream file(value_, std::ios::binary);
        std::string line;
        if (value_.empty() || !file) return refuse("cannot read the file");
        std::getline(file, line);
        if (file.bad()) return refuse("cannot read the file");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out_.mqtt.password = line;
        out_.mqtt.has_password = true;
        return true;
    }

    bool file_name(std::string& out) {
        if (value_.empty()) return refuse("expected a file name");
        out = value_;
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
           "  -q, --quiet           no record lines: only notices, alerts and the totals (a\n"
           "                        recorder with -w)\n"
           "  -v, --verbose         show every frame byte, not only the data bytes\n"
           "  -c, --count N         stop after N datagrams\n"
           "  -t, --time SECONDS    stop after SECONDS (decimals allowed)\n"
           "  -w, --write FILE      also write the datagrams to FILE, in pcap format or, for\n"
           "                        a name ending in .pcapng, in pcapng: one interface per\n"
           "                        sender, packet times from the card, losses as comments\n"
           "                        (LINKSCOPE_SIM=replay=FILE plays it back into a gateway)\n"
           "  -F, --format FORMAT   pcap or pcapng: the format of -w whatever its name\n"
           "  -C, --file-size MB    a ring of files: start a new file before this one would pass\n"
           "                        MB (10^6 bytes, decimals allowed, at least 0.1)\n"
           "  -G, --file-seconds S  a ring of files: start a new file every S seconds, aligned to\n"
           "                        the clock (3600: on the hour)\n"
           "  -W, --files N         keep at most N closed files, deleting the oldest\n"
           "      --disk-budget MB  the files of the ring together stay within MB, the oldest\n"
           "                        deleted first (without -C, files of a tenth of MB)\n"
           "                        Ring files are named PATH's name_UTCSTART_SEQUENCE.ext, and\n"
           "                        carry the suffix .part until they are closed\n"
           "      --keep-dir DIR    keep the ring files around an alert of --baseline, SIGUSR1\n"
           "                        or a --keep-now request in DIR, with a JSON file saying why\n"
           "      --keep-before S   seconds kept before the moment [default=60]\n"
           "      --keep-after S    seconds kept after it [default=60]\n"
           "      --keep-now        with --keep-dir DIR: ask the recorder that keeps into DIR to\n"
           "                        keep the minutes around now, and end\n"
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
           "      --mqtt HOST[:PORT]  publish each sender's state, a summary every --interval and\n"
           "                        its alerts to this MQTT broker [default port=1883]\n"
           "      --mqtt-topic PREFIX  topics PREFIX/<serial>/state|summary|alert and\n"
           "                        PREFIX/receiver/<host>/state [default=busgate]\n"
           "      --mqtt-queue N    messages that wait while the broker is away; further ones\n"
           "                        are dropped and counted [default=1000]\n"
           "      --mqtt-user NAME  user name for the broker\n"
           "      --mqtt-password-file FILE  the password, the first line of FILE\n"
           "      --mqtt-cafile FILE, --mqtt-capath DIR  TLS to the broker, trusting these CAs\n"
           "      --mqtt-cert FILE, --mqtt-key FILE  client certificate and its key (PEM)\n"
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
    bool keep_times = false;
    for (const ArgScanner::Item& item : items) {
        if (!applier.apply(item)) return false;
        keep_times = keep_times || item.id == KEEP_BEFORE || item.id == KEEP_AFTER;
    }
    const MqttSettings& m = out.mqtt;
    const bool mqtt_detail = !m.username.empty() || m.has_password || m.tls() || !m.certfile.empty() ||
                             !m.keyfile.empty();
    if (mqtt_detail && !m.enabled()) {
        error = "the --mqtt-... options need --mqtt HOST[:PORT]";
        return false;
    }
    if (m.has_password && m.username.empty()) {
        error = "--mqtt-password-file needs --mqtt-user";
        return false;
    }
    if ((!m.certfile.empty() || !m.keyfile.empty()) && (m.certfile.empty() || m.keyfile.empty() || !m.tls())) {
        error = "--mqtt-cert and --mqtt-key go together, with --mqtt-cafile or --mqtt-capath";
        return false;
    }
    return check_ring(out, keep_times, error);
}

bool Options::check_ring(const Options& o, bool keep_times, std::string& error) {
    if (o.keep_now) {
        if (o.keep_dir.empty()) error = "--keep-now needs --keep-dir: the keep folder of the recorder to ask";
        return error.empty();
    }
    if (keep_times && o.keep_dir.empty()) error = "--keep-before and --keep-after need --keep-dir";
    else if (o.ring() && o.write_path.empty()) error = "-C, -G, -W, --disk-budget and --keep-dir need -w PATH";
    else if (o.ring() && !o.file_bytes && !o.file_seconds && !o.budget_bytes)
        error = "-W and --keep-dir need files that close: -C, -G or --disk-budget";
    return error.empty();
}

}  // namespace busdump
