// busgate-service: the Windows installer's helper for the service BusgateSvc. It reads the
// service's options with busgated's own rules before anything is registered, and registers the
// service with exactly the command line it checked.
//
//   busgate-service options PARAMETERS_FILE OUT_FILE
//       writes the /OPTIONS= value of the installer's parameters to OUT_FILE
//   busgate-service check OPTIONS_FILE [--broadcast]
//   busgate-service install OPTIONS_FILE PROGRAM HOME RECORD_FOLDER [--broadcast] [--auto]
//       registers BusgateSvc ("PROGRAM" -d OPTIONS, the log and buffer file in HOME unless the
//       options name them, restart after a failure) and writes RECORD_FOLDER\service-command.txt
//       and RECORD_FOLDER\dashboard.cmd
// Exit status 0 done, 2 refused (the reason on standard error).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/serviceinstaller.h"
#include "tools/servicesetup/serviceoptions.h"
#include "tools/servicesetup/windowscommandline.h"

namespace {

constexpr int DONE = 0;
constexpr int REFUSED = 2;
constexpr const char* NAME = "busgate-service";

// Recovery as the systemd unit has it: 30 s before a restart, at most 5 in 10 minutes.
constexpr uint32_t RESTART_DELAY_MS = 30000;
constexpr uint32_t RESTARTS = 5;
constexpr uint32_t RESET_PERIOD_S = 600;

int refuse(const std::string& reason) {
    std::fprintf(stderr, "%s: %s\n", NAME, reason.c_str());
    return REFUSED;
}

bool read_text(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return true;
}

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file.flush());
}

bool has_flag(int argc, char** argv, int first, const std::string& flag) {
    for (int i = first; i < argc; ++i)
        if (argv[i] == flag) return true;
    return false;
}

// Reads the options file and checks its options; the reason in `error` when refused.
bool read_options(const std::string& path, bool broadcast, ServiceOptions& options, std::string& error) {
    std::string text;
    if (!read_text(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    std::vector<std::string> words;
    if (!WindowsCommandLine::split(text, words, error) || !options.read(words, broadcast, error)) {
        error = "/OPTIONS=" + text + ": " + error;
        return false;
    }
    return true;
}

int extract_options(const std::string& parameters_path, const std::string& out_path) {
    std::string parameters, options, error;
    if (!read_text(parameters_path, parameters)) return refuse("cannot read " + parameters_path);
    if (!WindowsCommandLine::installer_options(parameters, options, error)) return refuse(error);
    if (!write_text(out_path, options)) return refuse("cannot write " + out_path);
    return DONE;
}

// A batch file's line: % doubled so that cmd reads it as it is.
std::string batch_line(const std::string& command) {
    std::string line;
    for (const char c : command) line += c == '%' ? std::string("%%") : std::string(1, c);
    return line;
}

int install(const std::string& options_path, const std::string& program, const std::string& home,
            const std::string& record_folder, bool broadcast, bool auto_start) {
    ServiceOptions options;
    std::string error;
    if (!read_options(options_path, broadcast, options, error)) return refuse(error);

    platform::ServiceDefinition service;
    service.name = "BusgateSvc";
    service.display_name = "busgate capture gateway";
    service.description = "Forwards the events of a FIP fieldbus from a Linkscope card in UDP datagrams";
    service.command_line = options.service_command(program, home);
    service.auto_start = auto_start;
    service.restart_delay_ms = RESTART_DELAY_MS;
    service.restarts = RESTARTS;
    service.reset_period_s = RESET_PERIOD_S;
    std::string recovery_problem;
    if (!platform::install_service(service, error, recovery_problem))
        return refuse("cannot register the service: " + error);
    if (!recovery_problem.empty())
        std::fprintf(stderr, "%s: the service is registered without its recovery actions: %s\n", NAME,
                     recovery_problem.c_str());

    const std::string folder = record_folder + "\\";
    const std::string dashboard = "@echo off\r\n"
                                  "rem busgated with its dashboard and the service's options. The service and this\r\n"
                                  "rem run cannot share the card: sc stop BusgateSvc first.\r\n" +
                                  batch_line(options.dashboard_command(program, home)) + "\r\n";
    if (!write_text(folder + "service-command.txt", service.command_line + "\r\n") ||
        !write_text(folder + "dashboard.cmd", dashboard))
        return refuse("cannot write the command line into " + record_folder);
    std::printf("%s\n", service.command_line.c_str());
    return DONE;
}

void usage() {
    std::fprintf(stderr,
                 "usage: %s options PARAMETERS_FILE OUT_FILE\n"
                 "       %s check OPTIONS_FILE [--broadcast]\n"
                 "       %s install OPTIONS_FILE PROGRAM HOME RECORD_FOLDER [--broadcast] [--auto]\n",
                 NAME, NAME, NAME);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "options" && argc == 4) return extract_options(argv[2], argv[3]);
    if (command == "check" && argc >= 3) {
        ServiceOptions options;
        std::string error;
        if (!read_options(argv[2], has_flag(argc, argv, 3, "--broadcast"), options, error)) return refuse(error);
        return DONE;
    }
    if (command == "install" && argc >= 6)
        return install(argv[2], argv[3], argv[4], argv[5], has_flag(argc, argv, 6, "--broadcast"),
                       has_flag(argc, argv, 6, "--auto"));
    usage();
    return REFUSED;
}
