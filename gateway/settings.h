// Command line, help and version texts, and the configuration file of busgated.
#pragma once

#include <string>
#include <vector>

#include "common/stream/defaultport.h"
#include "gateway/appcfg.h"

constexpr int32_t DEFAULT_INDEX = -1;
constexpr int32_t DEFAULT_STATS_PER = -1;
constexpr int32_t DEFAULT_MAX_EVT = 1000;
constexpr int32_t DEFAULT_LIFESIGN = 500;
constexpr int32_t DEFAULT_BUF_SIZE = 52428800;
constexpr int32_t MAX_UDP_PORT = 65535;

extern const char* const app_version;
extern const char* const default_buffer_path;
// Base name of argv[0], set by load_settings.
extern std::string app_name;

// Fills `cfg` from the defaults and the command line. Returns 0 for a good command line or one
// that ended the run normally (help, version, card list), 1 for a wrong one; `*go_on` is 1 when
// the program goes on, 0 when it ends now with the returned status.
int load_settings(int argc, char** argv, int* go_on);

// Lays the keys of the file named by `conf_file` over `config`. 0 when no file is named or it
// was read, -1 when it cannot be opened. A UdpPort above 65535 leaves the port as it was and
// leaves an ERR note: the run is not to start.
int read_conf_file(app_cfg& config);

// A line for the log about the settings: what the command line or the configuration file named
// but the run does not use (level WARN: a stray word, a number that cannot be read, a file that
// cannot be opened, an unknown key), or cannot accept (level ERR: the run must not start).
struct SettingsNote {
    int level;
    std::string text;
};

// The notes of load_settings and read_conf_file since the last call, oldest first, for the
// caller to write once the log is open. load_settings starts a fresh list; when it ends the run
// itself (help, version, listing) it has written its notes on standard output already.
std::vector<SettingsNote> take_settings_notes();

// Prints the usage text on standard output.
void help();
