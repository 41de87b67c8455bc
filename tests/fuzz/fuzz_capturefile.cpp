// The capture file reader (pcap and pcapng, as the simulator replays them) on arbitrary bytes:
// every packet it hands out is a whole UDP payload inside the file, and it ends (at the end or
// at damage it names) without reading past what it was given.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "common/stream/capturefile.h"

namespace {

const std::string& input_path() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("fuzz_capturefile_" + std::to_string(std::random_device{}()))).string();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    {
        std::ofstream out(input_path(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::string error;
    std::unique_ptr<CaptureFile> file = CaptureFile::open(input_path(), &error);
    if (!file) {
        if (error.empty()) std::abort();
        return 0;
    }
    // Twice, the second time after a rewind: the same packets.
    std::size_t packets[2] = {0, 0};
    std::size_t bytes[2] = {0, 0};
    for (int pass = 0; pass < 2; ++pass) {
        CaptureFile::Packet packet;
        while (file->next(packet)) {
            if (packet.payload.size() > size) std::abort();
            ++packets[pass];
            bytes[pass] += packet.payload.size();
        }
        if (file->damaged() == file->problem().empty()) std::abort();
        file->rewind();
    }
    if (packets[0] != packets[1] || bytes[0] != bytes[1]) std::abort();
    file.reset();  // Windows removes no open file
    std::error_code ignored;
    std::filesystem::remove(input_path(), ignored);
    return 0;
}
