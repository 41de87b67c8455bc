// The bus analysis of one sender's events (busdump --analyze): the shared bus analysis keeps
// the bus report (station presence and identification, error counters); on top of it, flat
// tables indexed by identifier and station address keep what busdump shows per sender: the
// stations with the frames they produced and their errors by kind, every identifier with its
// periods, and the macrocycle. Pure: no clock, no socket. Nothing on the per-event path
// allocates except the first sight of an identifier.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "common/analysis/frameanalyzer.h"
#include "common/driver/eventrecord.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/periodstats.h"

namespace busdump {

class SenderAnalysis {
public:
    static constexpr std::size_t STATION_COUNT = 256;
    static constexpr std::size_t IDENTIFIER_COUNT = 65536;
    // Identifiers followed per sender, each with its period histogram: far more than a bus
    // carries, and a bound on what a sender of random identifiers can make busdump keep.
    static constexpr std::size_t MAX_IDENTIFIERS = 1024;
    static_assert(MAX_IDENTIFIERS < 0xFFFF, "places in the identifier index are 16-bit");

    // Errors charged to a station: those of the frames that followed its identifier.
    struct Errors {
        uint64_t frame_check = 0;
        uint64_t length = 0;
        uint64_t pdu_type = 0;
        uint64_t status_bits = 0;
        uint64_t unknown_control = 0;

        uint64_t total() const { return frame_check + length + pdu_type + status_bits + unknown_control; }
    };

    struct Station {
        uint64_t frames = 0;           // responses to the identifiers it produces
        Errors errors;
        uint64_t missed_presence = 0;  // presence questions it did not answer
        uint64_t last_seen_us = 0;     // card time of its last response; 0: never
    };

    struct Identifier {
        uint16_t identifier = 0;
        uint64_t count = 0;            // identifier frames
        uint64_t answered = 0;         // responses that followed them
        uint64_t last_time_us = 0;
        uint64_t last_period_us = 0;   // between its last two occurrences; 0: not yet
        PeriodStats periods;
        uint32_t first_cycle = 0;      // the macrocycle in which it was first seen
        uint32_t last_cycle = 0;       // the last macrocycle in which it was seen; 0: none
        uint32_t cycles_seen = 0;      // complete macrocycles in which it was seen
        uint32_t last_run = 0;         // the gateway run of its last occurrence

        // Against the macrocycle, while the identifier is in it: occurrences whose period
        // exceeds that of the same occurrence in its first complete macrocycle by more than
        // the tolerance, and the occurrences a macrocycle lacked against that first one.
        uint64_t late = 0;
        uint64_t missed = 0;
        uint32_t in_this_cycle = 0;    // occurrences in the open macrocycle
        uint32_t usual_per_cycle = 0;  // occurrences in its first complete macrocycle; 0: not yet
        std::vector<uint32_t> reference;  // the periods of those occurrences, in order
    };

    struct Macrocycle {
        uint64_t completed = 0;        // macrocycles from one sync frame to the next
        PeriodStats lengths;
        // The identifiers of the last complete macrocycle, in their order on the bus.
        std::vector<uint16_t> last;
    };

    // A period above its reference by more than `tolerance` (a fraction: 0.1 for 10 %) is late.
    SenderAnalysis(uint16_t sync_id, double tolerance);
    ~SenderAnalysis();

    // Analyses every event record of a sound datagram.
    void add(const DecodedDatagram& datagram);
    // `fcs`: the decoder's frame check of the event, which the analysis then trusts.
    void add_event(const linkscope::EventRecord& record, FcsResult fcs);
    // The gateway started again: no period and no macrocycle spans the time it was away.
    void begin_run();

    uint16_t sync_id() const { return sync_id_; }
    double tolerance() const { return tolerance_; }
    // The shared bus report (station presence and identification).
    const uint8_t* report() const { return report_.get(); }
    const Station& station(uint8_t address) const { return stations_[address]; }
    // Whether the station has been heard of: it produced, erred, answered or failed to answer.
    bool station_seen(uint8_t address) const;
    bool station_present(uint8_t address) const;
    // Every identifier seen, in the order first seen. A deque: an entry, with its histogram,
    // never moves once made, so the first macrocycles of many new senders copy nothing.
    const std::deque<Identifier>& identifiers() const { return identifiers_; }
    const Macrocycle& macrocycle() const { return cycle_; }
    // The entry of `identifier`, or null when it was not seen (or not followed).
    const Identifier* find(uint16_t identifier) const {
        return slot_of_[identifier] ? &identifiers_[slot_of_[identifier] - 1] : nullptr;
    }
    // Card time stamps of the first and the latest event analysed.
    uint64_t first_event_us() const { return first_event_us_; }
    uint64_t last_event_us() const { return last_event_us_; }
    // ID frames of identifiers beyond MAX_IDENTIFIERS: counted, not followed.
    uint64_t untracked_frames() const { return untracked_frames_; }
    // Seen in every complete macrocycle since it was first seen (and in at least one).
    bool in_macrocycle(const Identifier& identifier) const;
    // The identifiers of the macrocycle, once one is complete: those of the last complete one
    // that are in_macrocycle(), in their order on the bus.
    std::vector<uint16_t> macrocycle_identifiers() const;

    // The station that produces `identifier`'s value: the identifier's low byte, as the
    // network-management variables (0x10ss, 0x11ss, 0x14ss) have it; none (-1) for the bus
    // arbiter's variables 0x90xx.
    static int producer_of(uint16_t identifier);

private:
    // Large tables start as untouched zero pages (calloc): a new sender costs no clearing of the
    // parts of them its bus never uses. A receiver that starts beside hundreds of running
    // gateways meets them all within one datagram period (tens of milliseconds), and its socket
    // buffer holds only a few milliseconds of their datagrams.
    struct FreeBlock {
        void operator()(void* block) const { std::free(block); }
    };
    template <typename T>
    using ZeroedArray = std::unique_ptr<T[], FreeBlock>;
    template <typename T>
    static ZeroedArray<T> zeroed_array(std::size_t count);

    // Null when the table is full.
    Identifier* identifier_entry(uint16_t identifier);
    void identifier_frame(uint16_t identifier, uint64_t time);
    void close_macrocycle(uint64_t time);
    void check_occurrence(Identifier& entry, uint64_t period, uint32_t cycle_number);
    void count_missed(uint32_t closing);
    void charge_error(uint8_t kind);

    const uint16_t sync_id_;
    const double tolerance_;
    ZeroedArray<uint8_t> report_;
    analysis::FrameAnalyzer frames_;
    analysis::AnalyzedEvent event_;

    std::array<Station, STATION_COUNT> stations_{};
    ZeroedArray<uint16_t> slot_of_;  // identifier -> place in identifiers_ + 1; 0: not seen
    std::deque<Identifier> identifiers_;
    Macrocycle cycle_;
    std::vector<uint16_t> current_cycle_;
    // The identifiers expected in the open macrocycle: those of the last one, and those of the
    // macrocycle that did not come in it.
    std::vector<uint16_t> expected_;
    std::vector<uint16_t> next_expected_;
    uint64_t last_sync_us_ = 0;
    bool sync_seen_ = false;

    uint32_t run_ = 0;
    bool have_identifier_ = false;
    uint16_t last_identifier_ = 0;
    bool presence_pending_ = false;  // a presence question not answered yet
    uint64_t untracked_frames_ = 0;
    uint64_t first_event_us_ = 0;
    uint64_t last_event_us_ = 0;
};

}  // namespace busdump
