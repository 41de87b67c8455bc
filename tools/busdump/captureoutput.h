// busdump's capture file (-w): every datagram as one packet, written whole or not at all, in
// pcap or in pcapng (one interface per sender, losses noted on the packet after them).
// A FIFO that nothing reads yet is opened once its reader comes (retry()); until then, and from
// a failure on, datagrams are not written, and write() says so for the caller to count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/stream/pcapwriter.h"
#include "tools/busdump/pcapnginterfaces.h"
#include "platform/recordfile.h"

namespace busdump {

class CaptureOutput {
public:
    enum class State { none, waiting_for_reader, writing, failed };
    enum class Written { yes, no, failed_now };
    enum class Format { pcap, pcapng };
    // What pcapng keeps of a datagram beside its bytes (pcap keeps none of it).
    struct Note {
        std::optional<uint32_t> serial;        // the sender's card
        std::optional<uint64_t> card_time_us;  // its first event's time stamp
        std::string comment;                   // PcapngInterfaces::comment_for()
    };

    // pcapng for a name ending in ".pcapng", else pcap.
    static Format format_for(const std::string& path);

    // False with the reason in error() when `path` cannot be written at all.
    bool open(const std::string& path, Format format = Format::pcap);
    // A FIFO waiting for its reader: tries again. True once writing.
    bool retry();
    // One datagram; failed_now the first time writing fails (error() tells why), no before a
    // FIFO's reader came, after a failure, or without a file.
    Written write(int64_t time_us, const PcapWriter::Endpoint& source, const PcapWriter::Endpoint& destination,
                  const uint8_t* payload, std::size_t size, const Note& note = Note());
    // Writes what pcapng still holds (datagrams of senders whose card is not known yet), brings
    // what was written to the disk and closes the file; false with the reason in error() when
    // either failed (the file stays whole up to its last record).
    bool close();
    // Datagrams that write() took but pcapng held (their sender's card not known yet), and that
    // a failure then kept out of the file; counted from the last call on.
    std::size_t take_unwritten_held();
    // Bytes in the file so far, its header included.
    uint64_t bytes() const { return file_.size(); }
    // What one datagram of `size` bytes adds to the file (in pcapng, without the comment and the
    // descriptions of new interfaces that may come with it).
    std::size_t packet_size(std::size_t size) const;
    Format format() const { return format_; }

    State state() const { return state_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    // After failed_now: whether the reader of the FIFO closed it (the end of a live capture).
    bool reader_left() const { return file_.reader_left(); }
    // Once `flag` is raised, a write that waits for the FIFO's reader fails (interrupted() then true).
    void end_wait_when(const std::atomic<bool>* flag) { file_.end_wait_when(flag); }
    bool interrupted() const { return file_.interrupted(); }

private:
    bool start();
    bool put(const std::vector<uint8_t>& bytes);
    // Writes what pcapng holds, or drops and counts it where the file cannot take it; false when
    // writing it failed now.
    bool release_held();

    platform::RecordFile file_;
    State state_ = State::none;
    std::string path_;
    std::string error_;
    uint16_t next_ip_id_ = 0;
    Format format_ = Format::pcap;
    PcapngInterfaces interfaces_;
    std::size_t unwritten_held_ = 0;
};

}  // namespace busdump
