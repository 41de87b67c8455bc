// The configuration file reader on arbitrary file contents.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateway/appcfg.h"
#include "gateway/settings.h"
#include "tests/support/scratchdirectory.h"

namespace {

// One file, rewritten for every input; removed with its directory at exit.
struct ConfFile {
    testsupport::ScratchDirectory dir{"fuzz_conffile"};
    std::string path = dir / "busgated.conf";
    void write(const uint8_t* data, std::size_t size) const {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
    }
};

const ConfFile& conf_file() {
    static const ConfFile file;
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const ConfFile& file = conf_file();
    file.write(data, size);

    app_cfg config{};
    config.index = -1;
    config.port = DEFAULT_PORT;
    config.conf_file = strdup(file.path.c_str());
    if (read_conf_file(config) != 0) std::abort();  // the file exists: it must be read
    // A negative port falls back to the default, one above 65535 is refused and leaves the port
    // as it was; nothing else may change the owned strings.
    if (config.port < 0 || config.port > MAX_UDP_PORT) std::abort();
    (void)take_settings_notes();
    if (config.log_file || config.buff_file || config.ip_address) std::abort();
    if (!config.conf_file || file.path != config.conf_file) std::abort();
    release_cfg_strings(config);
    return 0;
}
