// Command line, help and version texts, and the configuration file of busgated.
#pragma once

#include <string>

#include "common/stream/defaultport.h"
#include "gateway/appcfg.h"

constexpr int32_t DEFAULT_INDEX = -1;
constexpr int32_t DEFAULT_STATS_PER = -1;
constexpr int32_t DEFAULT_MAX_EVT = 1000;
constexpr int32_t DEFAULT_LIFESIGN = 500;
constexpr int32_t DEFAULT_BUF_SIZE = 52428800;

extern const char* const app_version;
extern const char* const default_buffer_path;
// Base name of argv[0], set by load_settings.
extern std::string app_name;

// Fills `cfg` from the defaults and the command line. Returns 0 for a good command line or one
// that ended the run normally (help, version, card list), 1 for a wrong one; `*go_on` is 1 when
// the program goes on, 0 when it ends now with the returned status.
int load_settings(int argc, char** argv, int* go_on);

// Lays the keys of the file named by `conf_file` over `config`. 0 when no file is named or it
// was read, -1 when it cannot be opened.
int read_conf_file(app_cfg& config);

// Prints the usage text on standard output.
void help();
