#include "gateway/app.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "gateway/card/linkscope.h"
#include "gateway/logger.h"
#include "gateway/monitoring/monitoring.h"
#include "gateway/queue/syncmappedqueue.h"
#include "gateway/service.h"
#include "gateway/servicereporter.h"
#include "gateway/settings.h"
#include "gateway/system/system.h"
#include "gateway/udp/udpclient.h"
#include "platform/signals.h"

std::atomic<int32_t> running{0};
FILE* flog = stdout;

namespace {

using RecordQueue = SyncMappedQueue<std::vector<char>>;

constexpr long WATCH_PERIOD_NS = 100000000;  // 100 ms
constexpr int CARD_OPEN_FAILED = EACCES;     // Linkscope::start: the device did not open

// The driver's references, released in the order queue, UDP sender, card handle, host sampler,
// monitor; the queue goes last of all, with its last holder.
struct Gateway {
    std::shared_ptr<RecordQueue> queue;
    std::shared_ptr<System> system;
    std::shared_ptr<UDPClient> udp;
    std::shared_ptr<Linkscope> card;
    std::shared_ptr<Monitoring> monitoring;

    void release() {
        queue.reset();
        udp.reset();
        card.reset();
        system.reset();
        monitoring.reset();
    }
};

// A buffer of this size or more reserves gigabytes on disk: worth a line in the start log.
constexpr uint64_t HUGE_BUFFER_SIZE = 1ull << 30;

// The path of the open log file; empty while the log goes to standard output.
std::string log_path;

// A log file that cannot be opened leaves the log on standard output, and its first line there
// says so: a service's operator looks for the file, not for the console.
FILE* open_log(const char* path) {
    log_path.clear();
    if (path == nullptr) return stdout;
    FILE* file = std::fopen(path, "a+");
    if (file == nullptr) {
        logger::print(stdout, logger::ERR, "cannot open the log file %s (%s): the log goes to standard output\n", path,
                      std::strerror(errno));
        return stdout;
    }
    log_path = path;
    // Each line reaches the file when it is written, also if the process dies afterwards.
    std::setvbuf(file, nullptr, _IOLBF, 0);
    return file;
}

void close_log() {
    if (flog != stdout && flog != nullptr) std::fclose(flog);
    flog = stdout;
    log_path.clear();
}

// After a rotation (SIGHUP) the log goes on in a file of the same name; the objects keep the
// stream they were given, which now writes there.
void reopen_log() {
    if (log_path.empty()) return;
    if (platform::reopen_append(flog, log_path.c_str())) {
        logger::print(flog, logger::INFO, "log file reopened\n");
        return;
    }
    const int error = errno;
    // The old file may be gone from its folder: standard output (the journal) is told as well.
    for (FILE* stream : {flog, stdout})
        logger::print(stream, logger::ERR, "cannot reopen the log file %s: %s\n", log_path.c_str(), std::strerror(error));
}

std::string buffer_path_of(const app_cfg& config) { return config.buff_file ? config.buff_file : default_buffer_path; }

// Whether the two paths name one file: the same text once made absolute, or one existing file.
bool same_file(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path left = fs::absolute(a, error).lexically_normal();
    const fs::path right = fs::absolute(b, error).lexically_normal();
    if (!error && left == right) return true;
    return fs::equivalent(a, b, error) && !error;
}

// The log written into the buffer file would be lost with it at the end of the run.
bool log_is_buffer_file(const app_cfg& config) {
    if (config.log_file == nullptr || !same_file(config.log_file, buffer_path_of(config))) return false;
    logger::print(stdout, logger::ERR, "the log file %s is the buffer file (-B %s): refused, name another log file\n",
                  config.log_file, buffer_path_of(config).c_str());
    return true;
}

// Writes what the settings did not use; false when one of them may not let the run start.
bool report_settings_notes() {
    bool accepted = true;
    for (const SettingsNote& note : take_settings_notes()) {
        logger::print(flog, note.level, "%s\n", note.text.c_str());
        if (note.level == logger::ERR) accepted = false;
    }
    return accepted;
}

void report_huge_buffer(const std::string& path, uint32_t size) {
    if (size < HUGE_BUFFER_SIZE) return;
    logger::print(flog, logger::WARN, "the buffer file %s reserves %u bytes (%.1f GiB) of disk (-S)\n", path.c_str(), size,
                  static_cast<double>(size) / HUGE_BUFFER_SIZE);
}

const char* start_failure_cause(int code) {
    return code == CARD_OPEN_FAILED ? "the device cannot be opened" : "the device cannot be started";
}

// Builds the objects in their order and wires the monitor; throws with `step` naming the
// object being built.
void build(Gateway& gateway, const app_cfg& config, const char*& step) {
    const std::string buffer_path = buffer_path_of(config);
    const std::string destination = config.ip_address ? config.ip_address : "";

    report_huge_buffer(buffer_path, static_cast<uint32_t>(config.buf_size));
    step = "mapped event queue";
    gateway.queue = std::make_shared<RecordQueue>(buffer_path, static_cast<uint32_t>(config.buf_size));
    step = "host metrics sampler";
    gateway.system = std::make_shared<System>(flog);
    step = "UDP sender";
    gateway.udp = std::make_shared<UDPClient>(destination, static_cast<uint16_t>(config.port), config.broadcast,
                                              static_cast<uint32_t>(config.lifesign), config.max_evt, gateway.queue,
                                              flog);
    step = "card handle";
    gateway.card = std::make_shared<Linkscope>(flog, gateway.queue);
    if (config.loss_record == 1) {
        const std::weak_ptr<Linkscope> card = gateway.card;
        gateway.udp->send_loss_records([card] {
            const std::shared_ptr<Linkscope> held = card.lock();
            return held ? held->missing_frames() : uint64_t{0};
        });
    }
    step = "monitor";
    gateway.monitoring = std::make_shared<Monitoring>(static_cast<uint32_t>(config.lifesign), config.stats_per,
                                                      gateway.queue);
    step = "observer lists";
    gateway.system->attach(gateway.monitoring);
    gateway.udp->attach(gateway.monitoring);
    gateway.card->attach(gateway.monitoring);
}

// Frees what the driver owns once the objects are gone; the log stream closes last.
void finish(app_cfg& config, Gateway& gateway) {
    release_cfg_strings(config);
    gateway.release();
    report_stop_request(flog);
    close_log();
}

void report_to_service(const Gateway& gateway, ServiceReporter& reporter) {
    const ServiceReporter::Due due = reporter.tick(ServiceReporter::Clock::now());
    if (due.summary)
        winsvc_report_summary(ServiceReporter::summary_text(gateway.card->stats(), gateway.udp->stats(),
                                                            gateway.queue->dropped_count()));
    if (due.alive) winsvc_report_alive();
}

}  // namespace

int gateway_task(std::shared_ptr<Linkscope> card, const std::function<void()>& on_round) {
    if (!card) return -1;
    logger::print(flog, logger::INFO, "app is running... press Ctrl + C to exit.\n");
    running.store(1);
    // A stop asked for while the gateway was starting is not lost.
    if (stop_requested()) running.store(0);
    int result = 0;
    const timespec period{0, WATCH_PERIOD_NS};
    while (running.load() == 1) {
        if (take_log_reopen_request()) reopen_log();
        if (on_round) on_round();
        if (card->opened()) {
            nanosleep(&period, nullptr);
            continue;
        }
        running.store(0);
        logger::print(flog, logger::ERR, "device connection is broken\n");
        result = -1;
    }
    report_stop_request(flog);
    return result;
}

int app(app_cfg& config) {
    clear_stop_request();
    install_signal_handlers();
    Gateway gateway;
    if (log_is_buffer_file(config)) {
        finish(config, gateway);
        return 1;
    }
    flog = open_log(config.log_file);
    (void)read_conf_file(config);
    if (!report_settings_notes()) {
        finish(config, gateway);
        return 1;
    }

    int32_t index = config.index;
    if (!Linkscope::is_available(&index)) {
        logger::print(flog, logger::ERR, "linkscope: device (idx=%d) not found\n", config.index);
        const int held = Linkscope::held_elsewhere(config.index);
        if (held >= 0) logger::print(flog, logger::ERR, Linkscope::HELD_ELSEWHERE_FORMAT, held);
        help();
        finish(config, gateway);
        return 1;
    }
    config.index = index;

    const char* step = "";
    try {
        build(gateway, config, step);
    } catch (const std::exception& error) {
        logger::print(flog, logger::ERR, "cannot build the %s: %s\n", step, error.what());
        finish(config, gateway);
        return 1;
    } catch (...) {
        logger::print(flog, logger::ERR, "cannot build the %s: unknown error\n", step);
        finish(config, gateway);
        return 1;
    }

    const int start_code = gateway.card->start(config.index);
    int watch_result = -1;
    if (start_code == 0) {
        if (config.daemon) {
            winsvc_state_update(platform::SVC_RUNNING, 0);
            ServiceReporter reporter(platform::service_watchdog_interval());
            watch_result = gateway_task(gateway.card, [&gateway, &reporter] { report_to_service(gateway, reporter); });
            if (watch_result == 0) winsvc_report_stop_pending();
        } else {
            watch_result = gateway_task(gateway.card);
        }
    }
    (void)gateway.card->stop();
    if (start_code != 0) {
        logger::print(flog, logger::ERR, "error code: %d - failure cause: %s\n", start_code,
                      start_failure_cause(start_code));
    }
    finish(config, gateway);
    // A lost card ends with a failure status, so that a service manager restarts the gateway.
    return start_code == 0 && watch_result == 0 ? 0 : 1;
}
