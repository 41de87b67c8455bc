// The options of the service BusgateSvc as the installer takes them: read with busgated's own
// option rules before anything is registered, refused where the service would not run as meant,
// and completed with the service's home for the log and the buffer file.
#pragma once

#include <string>
#include <vector>

class ServiceOptions {
public:
    // Reads `words`, the options that follow "busgated.exe -d", as busgated does. False with
    // `error` when busgated refuses them, when they end it at once (-h, -v, -l), when busgated
    // would leave a part unused (a word that is no option, a number it cannot read: its note),
    // or when no -a names a destination and broadcasting was not asked for.
    bool read(const std::vector<std::string>& words, bool broadcast, std::string& error);

    // The service's command line: the program, -d, the options, then -L and -B in `home` for
    // the log and the buffer file that the options do not name.
    std::string service_command(const std::string& program, const std::string& home) const;
    // The same options with the dashboard on the console (-s 1000, the log on the console) and
    // a buffer file of its own, for a run beside a stopped service.
    std::string dashboard_command(const std::string& program, const std::string& home) const;

    static constexpr const char* LOG_NAME = "busgated.log";
    static constexpr const char* BUFFER_NAME = "buffer.bin";
    static constexpr const char* DASHBOARD_BUFFER_NAME = "dashboard.bin";

private:
    std::vector<std::string> words_;
    bool names_log_ = false;
    bool names_buffer_ = false;
};
