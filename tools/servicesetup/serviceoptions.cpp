#include "tools/servicesetup/serviceoptions.h"

#include "gateway/appcfg.h"
#include "gateway/settings.h"
#include "tools/servicesetup/windowscommandline.h"

namespace {

std::string in_folder(const std::string& folder, const char* name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
    return folder + "\\" + name;
}

}  // namespace

bool ServiceOptions::read(const std::vector<std::string>& words, bool broadcast, std::string& error) {
    // The gateway's own reading, on the command line the service will have.
    std::vector<std::string> line{"busgated", "-d"};
    line.insert(line.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : line) argv.push_back(word.data());
    argv.push_back(nullptr);
    int go_on = 1;
    const int status = load_settings(static_cast<int>(line.size()), argv.data(), &go_on);
    // What the gateway would run without (a stray word, a number it cannot read) is a typo here.
    const std::vector<SettingsNote> notes = take_settings_notes();
    const bool names_address = cfg.ip_address != nullptr;
    names_log_ = cfg.log_file != nullptr;
    names_buffer_ = cfg.buff_file != nullptr;
    release_cfg_strings(cfg);

    if (status != 0) {
        error = "busgated refuses these options";
        return false;
    }
    if (go_on == 0) {
        error = "-h, -v and -l end busgated at once: a service runs without them";
        return false;
    }
    if (!notes.empty()) {
        error = notes.front().text;
        return false;
    }
    if (!names_address && !broadcast) {
        error = "no -a: the gateway would broadcast on every network of this PC (give -a ADDRESS, or /BROADCAST "
                "if broadcasting is meant)";
        return false;
    }
    words_ = words;
    return true;
}

std::string ServiceOptions::service_command(const std::string& program, const std::string& home) const {
    std::vector<std::string> line{program, "-d"};
    line.insert(line.end(), words_.begin(), words_.end());
    if (!names_log_) line.insert(line.end(), {"-L", in_folder(home, LOG_NAME)});
    if (!names_buffer_) line.insert(line.end(), {"-B", in_folder(home, BUFFER_NAME)});
    return WindowsCommandLine::join(line);
}

std::string ServiceOptions::dashboard_command(const std::string& program, const std::string& home) const {
    // The last -L and -B win: the console (CON) and a buffer file the service does not use.
    std::vector<std::string> line{program};
    line.insert(line.end(), words_.begin(), words_.end());
    line.insert(line.end(), {"-s", "1000", "-L", "CON", "-B", in_folder(home, DASHBOARD_BUFFER_NAME)});
    return WindowsCommandLine::join(line);
}
