#include "gateway/settings.h"

#include <getopt.h>

#include <boost/asio/ip/address.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "busgate/version.h"
#include "gateway/card/linkscope.h"
#include "gateway/logger.h"
#include "platform/console.h"
#include "platform/priority.h"

app_cfg cfg{};
const char* const app_version = BUSGATE_VERSION;
const char* const default_buffer_path = "/tmp/solvane/busrecorder/buffer.bin";
std::string app_name;

namespace {

constexpr const char* OPTION_STRING = "i:a:p:ds:lR:M:B:S:C:L:P:hv";

const option LONG_OPTIONS[] = {
    {"index", required_argument, nullptr, 'i'},
    {"ip_address", required_argument, nullptr, 'a'},
    {"port", required_argument, nullptr, 'p'},
    {"daemon", no_argument, nullptr, 'd'},
    {"stats_per", required_argument, nullptr, 's'},
    {"list", no_argument, nullptr, 'l'},
    {"lifesign", required_argument, nullptr, 'R'},
    {"max_evt", required_argument, nullptr, 'M'},
    {"buff_file", required_argument, nullptr, 'B'},
    {"buf_size", required_argument, nullptr, 'S'},
    {"conf_file", required_argument, nullptr, 'C'},
    {"log_file", required_argument, nullptr, 'L'},
    {"pid_file", required_argument, nullptr, 'P'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

constexpr std::size_t CONF_LINE_SIZE = 512;
constexpr std::size_t CONF_TOKEN_SIZE = 100;
constexpr const char* CONF_KEY_INDEX = "DeviceIndex";
constexpr const char* CONF_KEY_PORT = "UdpPort";

// Reads a decimal number as scanf's "%ld" does (blanks, sign, digits, rest ignored) into a
// long, then stores it in the 32-bit field; a text without a number leaves the field alone.
void read_number(const char* text, int32_t& field) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text) return;
    field = static_cast<int32_t>(value);
}

// atoi without its undefined result on overflow: out-of-range values are narrowed the same way.
int32_t to_int(const char* text) {
    return static_cast<int32_t>(std::strtol(text, nullptr, 10));
}

void replace_string(char*& field, const char* text) {
    std::free(field);
    field = strdup(text);
}

// The program's name without its folders ('/' or, on Windows, '\\') and without ".exe".
std::string base_name(const char* path) {
    if (path == nullptr) return "";
    std::string name = path;
    const std::size_t separator = name.find_last_of("/\\");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    const std::string extension = ".exe";
    if (name.size() > extension.size() &&
        std::equal(extension.begin(), extension.end(), name.end() - extension.size(),
                   [](char e, char c) { return e == std::tolower(static_cast<unsigned char>(c)); }))
        name.resize(name.size() - extension.size());
    return name;
}

bool is_numeric_address(const char* text) {
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    return !error;
}

void set_defaults(app_cfg& config) {
    release_cfg_strings(config);
    config = app_cfg{};
    config.index = DEFAULT_INDEX;
    config.port = DEFAULT_PORT;
    config.buf_size = DEFAULT_BUF_SIZE;
    config.stats_per = DEFAULT_STATS_PER;
    config.lifesign = DEFAULT_LIFESIGN;
    config.max_evt = DEFAULT_MAX_EVT;
    config.broadcast = true;
}

void enable_colour() {
    logger::is_colorized = true;
    if (logger::win_colorization_support_check()) {
        platform::enable_terminal_colors();
    } else {
        logger::is_colorized = false;
    }
}

// The cleaned text of a configuration line: spaces dropped, cut at "#" or the line feed.
std::string clean_conf_line(const std::string& line) {
    std::string cleaned;
    for (const char c : line) {
        if (c == '#' || c == '\n') break;
        if (c != ' ') cleaned += c;
    }
    return cleaned;
}

// The next token delimited by "=" or a line feed (as strtok with "=\n"); null when none is left.
const char* next_token(char*& cursor) {
    while (*cursor == '=' || *cursor == '\n') ++cursor;
    if (*cursor == '\0') return nullptr;
    const char* token = cursor;
    while (*cursor != '\0' && *cursor != '=' && *cursor != '\n') ++cursor;
    if (*cursor != '\0') *cursor++ = '\0';
    return token;
}

void copy_token(char (&target)[CONF_TOKEN_SIZE], const char* token) {
    std::strncpy(target, token, CONF_TOKEN_SIZE - 1);
    target[CONF_TOKEN_SIZE - 1] = '\0';
}

// One whole line, whatever its length, without its line end: a CR LF reads like an LF,
// as text mode reads it on Windows. False at the end of the file.
bool read_conf_line(FILE* file, std::string& line) {
    line.clear();
    char piece[CONF_LINE_SIZE];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        line += piece;
        if (!line.empty() && line.back() == '\n') break;
    }
    if (line.empty()) return false;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// Applies one line; false when the line has a key without a value (reading stops there).
bool apply_conf_line(const std::string& line, app_cfg& config) {
    std::string cleaned = clean_conf_line(line);
    if (cleaned.empty()) return true;
    char* cursor = cleaned.data();
    const char* key_token = next_token(cursor);
    const char* value_token = key_token ? next_token(cursor) : nullptr;
    if (key_token == nullptr || value_token == nullptr) return false;
    char key[CONF_TOKEN_SIZE];
    char value[CONF_TOKEN_SIZE];
    copy_token(key, key_token);
    copy_token(value, value_token);
    if (std::strcmp(key, CONF_KEY_INDEX) == 0) {
        config.index = to_int(value);
    } else if (std::strcmp(key, CONF_KEY_PORT) == 0) {
        const int32_t port = to_int(value);
        config.port = port < 0 ? DEFAULT_PORT : port;
    }
    return true;
}

}  // namespace

void release_cfg_strings(app_cfg& config) {
    for (char** field : {&config.log_file, &config.buff_file, &config.conf_file, &config.ip_address}) {
        std::free(*field);
        *field = nullptr;
    }
}

void help() {
    const char* name = app_name.c_str();
    std::printf("\n");
    std::printf("Usage: %s [OPTION]...\n\n", name);
    std::printf("It redirects all the Linkscope(PCI)'s packets to the ethernet network (UDP).\n");
    std::printf("By default, if no option is added, the app opens the first Linkscope found,\n");
    std::printf("and redirects the FIP flow to 57117 UDP port.\n\n");
    std::printf("Options:\n");
    std::printf("    -i, --index      device index [default=1st found]\n");
    std::printf("    -a, --ip_address ip address for unicast or multicast (broadcast mode if not set)\n");
    std::printf("    -p, --port       udp port number [default=%d]\n", DEFAULT_PORT);
    std::printf("    -s, --stats_per  refresh period (ms) for displaying statistics [default=disabled]\n");
    std::printf("    -d, --daemon     daemonize this application (gnu/linux os only)\n");
    std::printf("    -l, --list       list host devices\n");
    std::printf("    -R, --lifesign   refresh period (ms) of lifesign packet [default=500 (500ms)]\n");
    std::printf("    -M, --max_evt    maximum events per udp datagram [default=1000]\n");
    std::printf("    -B, --buff_file  path to the buffer file [default=/tmp/solvane/busrecorder/buffer.bin]\n");
    std::printf("    -S, --buff_size  max size of the buffer in bytes [default=50000000 (50MB)]\n");
    std::printf("    -C, --conf_file  read configuration from the file\n");
    std::printf("    -L, --log_file   write logs to the file\n");
    std::printf("    -P, --pid_file   PID file used by daemonized app\n");
    std::printf("    -v, --version    show version and exit\n");
    std::printf("    -h, --help       show this help and exit\n");
    std::printf("\n");
    std::printf("Examples: \n");
    std::printf("    %s -i 1 -p 55010\n", name);
    std::printf("    %s -d\n", name);
    std::printf("\n");
}

int load_settings(int argc, char** argv, int* go_on) {
    platform::raise_process_priority();
    app_name = base_name(argc > 0 ? argv[0] : nullptr);
    *go_on = 1;
    set_defaults(cfg);

    optind = 0;  // full rescan, also when called more than once in a process
    int option;
    while ((option = getopt_long(argc, argv, OPTION_STRING, LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
            case 'i': read_number(optarg, cfg.index); break;
            case 'a':
                replace_string(cfg.ip_address, optarg);
                cfg.broadcast = false;
                if (!is_numeric_address(optarg)) {
                    std::fprintf(stderr, "%s: -a '%s': not a numeric IPv4 or IPv6 address (host names are not looked up)\n",
                                 app_name.c_str(), optarg);
                    help();
                    *go_on = 0;
                    return 1;
                }
                break;
            case 'p': read_number(optarg, cfg.port); break;
            case 'd': cfg.daemon = 1; break;
            case 's':
                enable_colour();
                read_number(optarg, cfg.stats_per);
                break;
            case 'l':
                Linkscope::list();
                *go_on = 0;
                return 0;
            case 'R': read_number(optarg, cfg.lifesign); break;
            case 'M': read_number(optarg, cfg.max_evt); break;
            case 'B': replace_string(cfg.buff_file, optarg); break;
            case 'S': read_number(optarg, cfg.buf_size); break;
            case 'C': replace_string(cfg.conf_file, optarg); break;
            case 'L': replace_string(cfg.log_file, optarg); break;
            case 'P': break;
            case 'h':
                help();
                *go_on = 0;
                return 0;
            case 'v':
                std::printf("%s %s\n", app_name.c_str(), app_version);
                *go_on = 0;
                return 0;
            default:
                help();
                *go_on = 0;
                return 1;
        }
    }
    return 0;
}

int read_conf_file(app_cfg& config) {
    if (config.conf_file == nullptr) return 0;
    FILE* file = std::fopen(config.conf_file, "r");
    if (file == nullptr) return -1;
    std::string line;
    while (read_conf_line(file, line)) {
        if (!apply_conf_line(line, config)) break;
    }
    std::fclose(file);
    return 0;
}
