// busdump's command line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/busdump/baseline.h"
#include "tools/busdump/mqttsettings.h"

namespace busdump {

struct Options {
    uint16_t port = 0;               // 0 in tests: any free port
    std::string bind = "0.0.0.0";
    std::string group;               // multicast group to join; empty: none
    bool json = false;
    bool stats = false;
    bool quiet = false;              // no record lines: notices, alerts and totals only
    bool verbose = false;            // every frame byte, not only the data bytes
    uint64_t count = 0;              // stop after this many datagrams; 0: no limit
    double seconds = 0;              // stop after this long; 0: no limit
    std::string write_path;          // capture file; empty: none
    std::string write_format;        // -F: "pcap" or "pcapng"; empty: by the name's ending
    // Set for Wireshark (ExtcapInterface), not on the command line: the -w FIFO is the output.
    // Datagrams are received only once its reader came, the run ends when the reader goes,
    // and only failures are told on the error stream, which Wireshark shows as an error.
    bool live_capture = false;
    // A ring of files instead of one (any of these given): sizes in bytes, times in seconds.
    uint64_t file_bytes = 0;         // -C
    uint64_t file_seconds = 0;       // -G
    uint64_t max_files = 0;          // -W
    uint64_t budget_bytes = 0;       // --disk-budget
    // The minutes around an alert, SIGUSR1 or a --keep-now request, kept in keep_dir.
    std::string keep_dir;
    double keep_before = 60;
    double keep_after = 60;
    bool keep_now = false;           // only ask the recorder of keep_dir to keep now, and end
    // --analyze: the bus analysis of each sender every `interval` seconds instead of the records.
    bool analyze = false;
    double interval = 1.0;
    double tolerance_percent = 10.0;  // a period this far above the typical one is late
    bool redraw = false;              // draw the analysis in place on the terminal (set by main)
    // The commissioning baseline: written at exit / compared with, read when the options are
    // parsed (both imply --analyze).
    std::string save_baseline_path;
    std::string baseline_path;
    std::shared_ptr<const Baseline> baseline;
    double max_error_permille = 1.0;
    // --mqtt: states, summaries (every `interval`) and alerts of each sender on an MQTT broker.
    MqttSettings mqtt;
    // --metrics [ADDR:]PORT: the metrics endpoint; port 0: none.
    std::string metrics_address = "127.0.0.1";
    uint16_t metrics_port = 0;
    bool help = false;
    bool version = false;

    // Which records are shown (all counted in any case). Each given filter must hold.
    std::vector<uint16_t> identifiers;  // ID frames with one of these, and the responses to them
    std::vector<uint8_t> controls;      // frames with one of these control bytes
    bool errors_only = false;
    bool lifesigns_only = false;

    Options();

    bool ring() const { return file_bytes || file_seconds || max_files || budget_bytes || !keep_dir.empty(); }

    // Parses the arguments after the program name. False with a one-line reason in `error`.
    static bool parse(const std::vector<std::string>& args, Options& out, std::string& error);
    static std::string usage();

private:
    // What the ring and keep options need of each other; false with the reason in `error`.
    static bool check_ring(const Options& options, bool keep_times, std::string& error);
};

}  // namespace busdump
