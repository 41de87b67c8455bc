#include "tests/integration/support/scratchdirectory.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace integration {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = name.data();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace integration
