#include "tools/busdump/captureoutput.h"

#include <vector>

#include "common/stream/pcapformat.h"
#include "common/stream/pcapngformat.h"

namespace busdump {

CaptureOutput::Format CaptureOutput::format_for(const std::string& path) {
    static const std::string extension = ".pcapng";
    return path.size() >= extension.size() && path.compare(path.size() - extension.size(), extension.size(), extension) == 0
               ? Format::pcapng
               : Format::pcap;
}

bool CaptureOutput::open(const std::string& path, Format format) {
    path_ = path;
    format_ = format;
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
    const std::vector<uint8_t> header =
        format_ == Format::pcapng ? interfaces_.file_start() : PcapWriter::file_header();
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
                                            std::size_t size, const Note& note) {
    if (state_ != State::writing) return Written::no;
    // A failing write may have carried held datagrams, or held this one: those held before it are
    // lost with the file, this one is the caller's to count.
    const std::size_t held_before = interfaces_.held_datagrams();
    if (size > PcapWriter::MAX_PAYLOAD) {
        error_ = "a datagram of " + std::to_string(size) + " bytes is too long for an IPv4 packet";
    } else if (format_ == Format::pcapng) {
        PcapngInterfaces::Datagram datagram{source, destination, note.serial, note.card_time_us, time_us,
                                            note.comment, payload, size};
        if (put(interfaces_.add(datagram))) return Written::yes;
    } else {
        // Distinct IP identifications keep tools from taking two packets for fragments of one.
        const std::vector<uint8_t> packet = PcapWriter::packet(time_us, source, destination, payload, size, ++next_ip_id_);
        if (file_.write(packet.data(), packet.size())) return Written::yes;
        error_ = file_.error();
    }
    // Nothing more is written after a failure: the file stays whole up to there.
    state_ = State::failed;
    file_.close();
    interfaces_.discard_held();
    unwritten_held_ += held_before;
    return Written::failed_now;
}

bool CaptureOutput::put(const std::vector<uint8_t>& bytes) {
    if (bytes.empty() || file_.write(bytes.data(), bytes.size())) return true;
    error_ = file_.error();
    return false;
}

bool CaptureOutput::release_held() {
    const std::size_t held = interfaces_.held_datagrams();
    if (held == 0) return true;
    const bool writing = state_ == State::writing;
    if (writing && put(interfaces_.release_all())) return true;
    if (writing) state_ = State::failed;
    interfaces_.discard_held();  // what release_all() took out is lost with the failed write
    unwritten_held_ += held;
    return !writing;
}

std::size_t CaptureOutput::take_unwritten_held() {
    const std::size_t taken = unwritten_held_;
    unwritten_held_ = 0;
    return taken;
}

bool CaptureOutput::close() {
    // pcapng may still hold the datagrams of senders whose card is not known yet: they go into
    // this file, before it closes.
    const bool whole = release_held();
    const bool synced = !file_.is_open() || file_.flush_to_disk();
    if (!synced && whole) error_ = file_.error();
    file_.close();
    if (state_ != State::failed) state_ = State::none;
    return whole && synced;
}

std::size_t CaptureOutput::packet_size(std::size_t size) const {
    if (format_ == Format::pcap) return PcapFormat::PACKET_HEADER_SIZE + PcapWriter::FRAMING_SIZE + size;
    // An enhanced packet block and its padding; comments and new interface descriptions add to it.
    const std::size_t frame = PcapWriter::FRAMING_SIZE + size;
    const std::size_t padded = (frame + PcapngFormat::BLOCK_ALIGNMENT - 1) / PcapngFormat::BLOCK_ALIGNMENT *
                               PcapngFormat::BLOCK_ALIGNMENT;
    return PcapngFormat::BLOCK_MIN_SIZE + PcapngFormat::PACKET_BODY_SIZE + padded;
}

}  // namespace busdump
