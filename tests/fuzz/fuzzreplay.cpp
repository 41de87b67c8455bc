// Stands in for libFuzzer's driver in the ordinary builds: runs every file of the given
// corpus directories (or single files) once through the target, so that the corpora are
// regression tests. An empty corpus fails: a replay of nothing would prove nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path& where) {
    std::vector<fs::path> files;
    if (fs::is_directory(where)) {
        for (const auto& entry : fs::directory_iterator(where))
            if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (fs::is_regular_file(where)) {
        files.push_back(where);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool read_file(const fs::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : inputs_of(argv[i])) {
            std::vector<uint8_t> bytes;
            if (!read_file(file, bytes)) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 1;
            }
            std::fprintf(stderr, "replay %s (%zu bytes)\n", file.string().c_str(), bytes.size());
            // A copy of exactly the input's size, as libFuzzer hands it, so overreads are caught;
            // an empty input still comes with a valid pointer.
            const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
            static const uint8_t nothing = 0;
            LLVMFuzzerTestOneInput(exact.empty() ? &nothing : exact.data(), exact.size());
            ++runs;
        }
    }
    if (runs == 0) {
        std::fprintf(stderr, "no input found\n");
        return 1;
    }
    std::fprintf(stderr, "%zu inputs replayed\n", runs);
    return 0;
}
