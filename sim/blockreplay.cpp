#include "sim/blockreplay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/driver/protocol.h"

namespace sim {

std::unique_ptr<BlockReplay> BlockReplay::open(const std::string& path, std::string* error) {
    std::ifstream probe(path, std::ios::binary | std::ios::ate);
    if (!probe) {
        *error = "replay: cannot read '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    const std::streamoff size = probe.tellg();
    if (size < 0) {
        *error = "replay: cannot read '" + path + "'";
        return nullptr;
    }
    const uint64_t bytes = static_cast<uint64_t>(size);
    const uint64_t blocks = bytes / linkscope::EVENT_BLOCK_SIZE;
    const uint64_t tail = bytes % linkscope::EVENT_BLOCK_SIZE;
    // Anything else (a damaged capture, a file of another kind) would replay as garbage blocks.
    if (blocks == 0 || tail != 0) {
        *error = "replay: '" + path + "' is neither a capture (pcap) nor a file of whole " +
                 std::to_string(linkscope::EVENT_BLOCK_SIZE) + "-byte event blocks (" + std::to_string(bytes) +
                 " bytes)";
        return nullptr;
    }
    std::unique_ptr<BlockReplay> replay(new BlockReplay(path, blocks));
    if (!replay->file_) {
        *error = "replay: cannot read '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    return replay;
}

bool BlockReplay::next(uint8_t* out) {
    if (next_ >= blocks_) return false;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(next_ * linkscope::EVENT_BLOCK_SIZE));
    file_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(linkscope::EVENT_BLOCK_SIZE));
    if (file_.gcount() != static_cast<std::streamsize>(linkscope::EVENT_BLOCK_SIZE)) {
        std::fprintf(stderr, "LINKSCOPE_SIM: replay: reading block %llu of '%s' failed, replay ends\n",
                     static_cast<unsigned long long>(next_ + 1), path_.c_str());
        next_ = blocks_;
        return false;
    }
    ++next_;
    return true;
}

}  // namespace sim
