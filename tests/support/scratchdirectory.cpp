#include "tests/support/scratchdirectory.h"

#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

namespace testsupport {

namespace {

constexpr int MAX_ATTEMPTS = 100;
constexpr int SUFFIX_LENGTH = 8;

std::string random_suffix(std::mt19937_64& generator) {
    static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof ALPHABET - 2);
    std::string suffix;
    for (int i = 0; i < SUFFIX_LENGTH; ++i) suffix += ALPHABET[pick(generator)];
    return suffix;
}

}  // namespace

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    std::mt19937_64 generator(std::random_device{}());
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        const fs::path candidate = base / (prefix + "-" + random_suffix(generator));
        std::error_code error;
        // create_directory reports false for a name that exists already: no two tests share one.
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.generic_string();
            return;
        }
        if (error) throw std::runtime_error("cannot create a directory in " + base.string() + ": " + error.message());
    }
    throw std::runtime_error("no free directory name for " + prefix + " in " + base.string());
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
