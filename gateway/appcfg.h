// The gateway's configuration record, filled from defaults, the command line and the
// configuration file.
#pragma once

#include <cstdint>

struct app_cfg {
    int32_t index;       // card index; negative: the first card found
    int32_t port;        // UDP destination port
    int32_t stats_per;   // dashboard period in ms; below 1: no dashboard
    int32_t max_evt;     // records per datagram at most
    int32_t daemon;      // 1: run under the service manager
    int32_t lifesign;    // lifesign period in ms
    int32_t buf_size;    // buffer file size in bytes
    char* log_file;      // owned; null: standard output
    char* buff_file;     // owned; null: default_buffer_path
    char* conf_file;     // owned; null: none
    char* ip_address;    // owned; null: broadcast
    bool broadcast;
    int32_t loss_record; // 1: send a loss record once a second (file key LossRecord)
};

// Frees the four owned strings and leaves them null.
void release_cfg_strings(app_cfg& config);

extern app_cfg cfg;
