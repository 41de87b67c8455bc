// busdump's capture file (-w): every datagram as one pcap packet, written whole or not at all.
// A FIFO that nothing reads yet is opened once its reader comes (retry()); until then, and from
// a failure on, datagrams are not written, and write() says so for the caller to count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/stream/pcapwriter.h"
#include "platform/recordfile.h"

namespace busdump {

class CaptureOutput {
public:
    enum class State { none, waiting_for_reader, writing, failed };
    enum class Written { yes, no, failed_now };

    // False with the reason in error() when `path` cannot be written at all.
    bool open(const std::string& path);
    // A FIFO waiting for its reader: tries again. True once writing.
    bool retry();
    // One datagram; failed_now the first time writing fails (error() tells why), no before a
    // FIFO's reader came, after a failure, or without a file.
    Written write(int64_t time_us, const PcapWriter::Endpoint& source, const PcapWriter::Endpoint& destination,
                  const uint8_t* payload, std::size_t size);

    // Brings what was written to the disk and closes the file; false with the reason in error()
    // when the system could not confirm it (the file stays whole up to its last record).
    bool close();
    // Bytes in the file so far, its header included.
    uint64_t bytes() const { return file_.size(); }
    // What one datagram of `size` bytes adds to the file.
    static std::size_t packet_size(std::size_t size);

    State state() const { return state_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    bool start();

    platform::RecordFile file_;
    State state_ = State::none;
    std::string path_;
    std::string error_;
    uint16_t next_ip_id_ = 0;
};

}  // namespace busdump
