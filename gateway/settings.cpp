#include "gateway/settings.h"

#include <getopt.h>

#include <boost/asio/ip/address.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// The leading "-" hands every word that is not an option over in its place (as option 1), so
// that a stray word can be named, whatever order the platform's getopt_long would leave.
constexpr const char* OPTION_STRING = "-i:a:p:ds:lR:M:B:S:C:L:P:hv";
constexpr int NOT_AN_OPTION = 1;

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

constexpr std::size_t CONF_TOKEN_SIZE = 100;
constexpr const char* CONF_KEY_INDEX = "DeviceIndex";
constexpr const char* CONF_KEY_PORT = "UdpPort";
constexpr const char* CONF_KEY_LOSS_RECORD = "LossRecord";

// Lines for the log about what was not used or cannot be accepted, kept until the log is open.
std::vector<SettingsNote> notes;

void note(int level, std::string text) { notes.push_back({level, std::move(text)}); }

// A decimal number as scanf's "%ld" reads it: blanks, sign, digits; the rest is ignored.
struct ReadNumber {
    bool found;       // false: no number at the start of the text
    long long value;  // whole, before it is narrowed to a field
    const char* rest; // what follows the digits
};

ReadNumber read_decimal(const char* text) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return {end != text, value, end};
}

// What of `text` does not make the number: told, so that a typo does not pass unseen.
// `instead` says what the run takes when there is no number at all.
void note_unread_text(const std::string& what, const char* text, const ReadNumber& number,
                      const std::string& instead) {
    if (!number.found)
        note(logger::WARN, what + " '" + text + "' is not a number: " + instead);
    else if (*number.rest != '\0')
        note(logger::WARN, what + " '" + text + "' is read as " + std::to_string(number.value) + ": '" + number.rest +
                               "' is not used");
}

// Reads a number into the 32-bit field as "%ld" does; a text without a number leaves the field alone.
ReadNumber read_number(char option, const char* text, int32_t& field) {
    const ReadNumber number = read_decimal(text);
    note_unread_text(std::string("option -") + option, text, number,
                     "not used, the value stays " + std::to_string(field));
    if (number.found) field = static_cast<int32_t>(number.value);
    return number;
}

bool is_udp_port(long long value) { return value >= 0 && value <= MAX_UDP_PORT; }

// atoi without its undefined result on overflow: out-of-range values are narrowed the same way.
int32_t to_int(const char* text) { return static_cast<int32_t>(read_decimal(text).value); }

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

// One whole line, whatever its length, without its line end: a CR LF reads like an LF, as text
// mode reads it on Windows. A NUL byte ends the line's text; what follows it up to the line feed
// is dropped. False at the end of the file.
bool read_conf_line(FILE* file, std::string& line) {
    line.clear();
    bool ended = false, any = false;
    int c;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (c == '\0') ended = true;
        if (!ended) line += static_cast<char>(c);
    }
    if (!any) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// LossRecord is 0 or 1; anything else is told and leaves the setting as it was.
void apply_loss_record(const std::string& what, const char* value, app_cfg& config) {
    const ReadNumber number = read_decimal(value);
    if (!number.found || *number.rest != '\0' || (number.value != 0 && number.value != 1)) {
        note(logger::WARN, what + " '" + value + "' is neither 0 nor 1: not used, it stays " +
                               std::to_string(config.loss_record));
        return;
    }
    config.loss_record = static_cast<int32_t>(number.value);
}

// Sets the field of a known key; false for a key the file may not hold.
bool apply_conf_value(const std::string& file, const char* key, const char* value, app_cfg& config) {
    const std::string what = "configuration file " + file + ": " + key;
    if (std::strcmp(key, CONF_KEY_INDEX) == 0) {
        note_unread_text(what, value, read_decimal(value), "read as 0");
        config.index = to_int(value);
        return true;
    }
    if (std::strcmp(key, CONF_KEY_LOSS_RECORD) == 0) {
        apply_loss_record(what, value, config);
        return true;
    }
    if (std::strcmp(key, CONF_KEY_PORT) != 0) return false;
    const ReadNumber number = read_decimal(value);
    note_unread_text(what, value, number, "read as 0");
    if (number.value > MAX_UDP_PORT) {
        note(logger::ERR, what + " " + value + " is not a UDP port (0 to 65535): refused, nothing is started");
        return true;
    }
    config.port = number.value < 0 ? DEFAULT_PORT : static_cast<int32_t>(number.value);
    return true;
}

// Applies one line; false when the line has a key without a value (reading stops there).
bool apply_conf_line(const std::string& file, const std::string& line, app_cfg& config) {
    std::string cleaned = clean_conf_line(line);
    if (cleaned.empty()) return true;
    char* cursor = cleaned.data();
    const char* key_token = next_token(cursor);
    const char* value_token = key_token ? next_token(cursor) : nullptr;
    if (key_token == nullptr || value_token == nullptr) {
        note(logger::WARN, "configuration file " + file + ": '" + clean_conf_line(line) +
                               "' has no value: it and the lines after it are not used");
        return false;
    }
    char key[CONF_TOKEN_SIZE];
    char value[CONF_TOKEN_SIZE];
    copy_token(key, key_token);
    copy_token(value, value_token);
    if (!apply_conf_value(file, key, value, config))
        note(logger::WARN, "configuration file " + file + ": key '" + key + "' is not known: not used");
    return true;
}

void note_strays(const std::vector<std::string>& strays) {
    if (strays.empty()) return;
    std::string text = "not an option, not used:";
    for (const std::string& word : strays) text += " '" + word + "'";
    note(logger::WARN, text);
}

// The notes so far on standard output, where the log of a run that ends at once would go.
void print_notes_now() {
    for (const SettingsNote& n : take_settings_notes()) logger::print(stdout, n.level, "%s\n", n.text.c_str());
}

// A port that a 16-bit field would narrow into one nobody chose: a wrong command line.
bool refuse_port(long long port, const char* text) {
    if (is_udp_port(port)) return false;
    std::fprintf(stderr, "%s: -p '%s': not a UDP port (0 to 65535)\n", app_name.c_str(), text);
    return true;
}

}  // namespace

std::vector<SettingsNote> take_settings_notes() { return std::exchange(notes, {}); }

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
    notes.clear();

    // The last -p given: its whole value, before the field narrows it.
    ReadNumber port{false, 0, ""};
    std::string port_text;
    std::vector<std::string> strays;
    const auto wrong = [go_on] {
        notes.clear();
        help();
        *go_on = 0;
        return 1;
    };
    const auto ends_run = [&strays, go_on] {
        note_strays(strays);
        print_notes_now();
        *go_on = 0;
        return 0;
    };
    optind = 0;  // full rescan, also when called more than once in a process
    int option;
    while ((option = getopt_long(argc, argv, OPTION_STRING, LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
            case NOT_AN_OPTION: strays.push_back(optarg); break;
            case 'i': read_number('i', optarg, cfg.index); break;
            case 'a':
                replace_string(cfg.ip_address, optarg);
                cfg.broadcast = false;
                if (!is_numeric_address(optarg)) {
                    std::fprintf(stderr, "%s: -a '%s': not a numeric IPv4 or IPv6 address (host names are not looked up)\n",
                                 app_name.c_str(), optarg);
                    return wrong();
                }
                break;
            case 'p': {
                const ReadNumber number = read_number('p', optarg, cfg.port);
                if (number.found) {
                    port = number;
                    port_text = optarg;
                }
                break;
            }
            case 'd': cfg.daemon = 1; break;
            case 's':
                enable_colour();
                read_number('s', optarg, cfg.stats_per);
                break;
            case 'l': {
                const int status = ends_run();
                Linkscope::list();
                return status;
            }
            case 'R': read_number('R', optarg, cfg.lifesign); break;
            case 'M': read_number('M', optarg, cfg.max_evt); break;
            case 'B': replace_string(cfg.buff_file, optarg); break;
            case 'S': read_number('S', optarg, cfg.buf_size); break;
            case 'C': replace_string(cfg.conf_file, optarg); break;
            case 'L': replace_string(cfg.log_file, optarg); break;
            case 'P': break;
            case 'h': {
                const int status = ends_run();
                help();
                return status;
            }
            case 'v': {
                const int status = ends_run();
                std::printf("%s %s\n", app_name.c_str(), app_version);
                return status;
            }
            default: return wrong();
        }
    }
    // Words after "--" are left at the end by the parser.
    for (int i = optind; i < argc; ++i) strays.push_back(argv[i]);
    if (port.found && refuse_port(port.value, port_text.c_str())) return wrong();
    note_strays(strays);
    return 0;
}

int read_conf_file(app_cfg& config) {
    if (config.conf_file == nullptr) return 0;
    FILE* file = std::fopen(config.conf_file, "r");
    if (file == nullptr) {
        note(logger::WARN, std::string("configuration file ") + config.conf_file + " cannot be opened (" +
                               std::strerror(errno) + "): not used, the command line values stay");
        return -1;
    }
    const std::string name = config.conf_file;
    std::string line;
    while (read_conf_line(file, line)) {
        if (!apply_conf_line(name, line, config)) break;
    }
    std::fclose(file);
    return 0;
}
