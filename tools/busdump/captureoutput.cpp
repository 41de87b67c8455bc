#include "tools/busdump/captureoutput.h"

#include <vector>

namespace busdump {

bool CaptureOutput::open(const std::string& path) {
    path_ = path;
    state_ = State::waiting_for_reader;
    return retry() || state_ == State::waiting_for_reader;
}

bool CaptureOutput::retry() {
    if (state_ != State::waiting_for_reader) return state_ == State::writing;
    switch (file_.open(path_)) {
        case platform::RecordFile::Opened::no_reader: return false;
        case platform::RecordFile::Opened::failed:
            state_ = State::failed;
            error_ = file_.error();
            return false;
        case platform::RecordFile::Opened::yes: break;
    }
    const std::vector<uint8_t> header = PcapWriter::file_header();
    if (!file_.write(header.data(), header.size())) {
        state_ = State::failed;
        error_ = file_.error();
        file_.close();
        return false;
    }
    state_ = State::writing;
    return true;
}

CaptureOutput::Written CaptureOutput::write(int64_t time_us, const PcapWriter::Endpoint& source,
                                            const PcapWriter::Endpoint& destination, const uint8_t* payload,
                                            std::size_t size) {
    if (state_ != State::writing) return Written::no;
    if (size > PcapWriter::MAX_PAYLOAD) {
        error_ = "a datagram of " + std::to_string(size) + " bytes is too long for an IPv4 packet";
    } else {
        // Distinct IP identifications keep tools from taking two packets for fragments of one.
        const std::vector<uint8_t> packet = PcapWriter::packet(time_us, source, destination, payload, size, ++next_ip_id_);
        if (file_.write(packet.data(), packet.size())) return Written::yes;
        error_ = file_.error();
    }
    // Nothing more is written after a failure: the file stays whole up to there.
    state_ = State::failed;
    file_.close();
    return Written::failed_now;
}

bool CaptureOutput::close() {
    const bool synced = !file_.is_open() || file_.flush_to_disk();
    if (!synced) error_ = file_.error();
    file_.close();
    if (state_ != State::failed) state_ = State::none;
    return synced;
}

std::size_t CaptureOutput::packet_size(std::size_t size) {
    return PcapFormat::PACKET_HEADER_SIZE + PcapWriter::FRAMING_SIZE + size;
}

}  // namespace busdump
