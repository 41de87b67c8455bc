#include "common/analysis/cycleanalyzer.h"

#include <cstring>

#include "common/driver/byteorder.h"
#include "common/analysis/busreport.h"
#include "common/analysis/sequencebuffer.h"

namespace analysis {

namespace {

bool same_identifiers(const SequenceCycle& a, const SequenceCycle& b) {
    if (a.count != b.count) return false;
    for (uint32_t i = 1; i <= a.count; ++i)
        if (SequenceCycle::identifier_of(a.entries[i]) != SequenceCycle::identifier_of(b.entries[i])) return false;
    return true;
}

bool lists_identifiers(uint32_t type) { return type == cycle_type::PERIODIC || type == cycle_type::MESSAGE; }

// A periodic or message cycle whose list changes between repetitions is reported by its time.
constexpr uint32_t VARIABLE_TYPE_OFFSET = cycle_type::VARIABLE - cycle_type::PERIODIC;

// One published cycle: the entry of the report's sequence result.
struct CycleEntry {
    uint32_t type;
    uint32_t count_or_time;  // periodic and message cycles: identifier count; others: microseconds from the run's start
    uint32_t identifiers[cycle::IDENTIFIER_SLOTS];
};

}  // namespace

struct CycleAnalyzer::Result {
    uint32_t count;
    uint32_t period;
    CycleEntry cycles[cycle::COUNT];

    // Equal in distance, types and identifier lists; times and period may differ.
    bool same_cycles(const Result& other) const {
        if (count != other.count) return false;
        for (uint32_t k = 0; k < count; ++k) {
            const CycleEntry& a = cycles[k];
            const CycleEntry& b = other.cycles[k];
            if (a.type != b.type) return false;
            if (!lists_identifiers(a.type)) continue;
            if (a.count_or_time != b.count_or_time) return false;
            if (std::memcmp(a.identifiers, b.identifiers, a.count_or_time * sizeof a.identifiers[0]) != 0) return false;
        }
        return true;
    }
};

CycleAnalyzer::CycleAnalyzer() : published_(new Result()), candidate_(new Result()) {}  // value-initialised: zeroed
CycleAnalyzer::~CycleAnalyzer() = default;

bool CycleAnalyzer::find(const SequenceBuffer& sequence, std::size_t* first, std::size_t* distance) const {
    // The newest cycle is still open and takes no part.
    const std::size_t complete = sequence.cycles_in_use() ? sequence.cycles_in_use() - 1 : 0;
    for (std::size_t i = 0; i < complete; ++i) {
        const SequenceCycle& start = sequence.chronological(i);
        for (std::size_t d = 1; i + 2 * d <= complete; ++d) {
            const SequenceCycle& again = sequence.chronological(i + d);
            if (again.type == cycle_type::PERIODIC && same_identifiers(start, again)) {
                *first = i;
                *distance = d;
                return true;
            }
        }
    }
    return false;
}

void CycleAnalyzer::build(const SequenceBuffer& sequence, std::size_t first, std::size_t distance,
                          Result& out) const {
    std::memset(&out, 0, sizeof out);
    out.count = static_cast<uint32_t>(distance);
    const uint64_t run_start = sequence.chronological(first).start_time();
    const uint64_t run_end = sequence.chronological(first + distance - 1).end_time;
    out.period = run_end > run_start ? static_cast<uint32_t>(run_end - run_start) : 0;
    for (std::size_t k = 0; k < distance; ++k) {
        const SequenceCycle& one = sequence.chronological(first + k);
        const SequenceCycle& two = sequence.chronological(first + distance + k);
        CycleEntry& entry = out.cycles[k];
        entry.type = one.type;
        if (lists_identifiers(entry.type) && !same_identifiers(one, two)) entry.type += VARIABLE_TYPE_OFFSET;
        if (lists_identifiers(entry.type)) {
            entry.count_or_time = one.count;
            for (uint32_t i = 1; i <= one.count; ++i) entry.identifiers[i - 1] = SequenceCycle::identifier_of(one.entries[i]);
        } else {
            const uint64_t start = one.start_time();
            entry.count_or_time = start > run_start ? static_cast<uint32_t>(start - run_start) : 0;
        }
    }
}

bool CycleAnalyzer::analyze(const SequenceBuffer& sequence) {
    std::size_t first = 0;
    std::size_t distance = 0;
    if (!find(sequence, &first, &distance)) return false;
    build(sequence, first, distance, *candidate_);
    if (distance == distance_ && candidate_->same_cycles(*published_)) return false;
    distance_ = distance;
    std::swap(published_, candidate_);
    return true;
}

void CycleAnalyzer::publish(uint8_t* report) const {
    std::memset(report + report::RESULT_BEGIN, 0, report::RESULT_END - report::RESULT_BEGIN);
    linkscope::store_le32(report + report::CYCLE_COUNT, published_->count);
    linkscope::store_le32(report + report::PERIOD, published_->period);
    for (uint32_t k = 0; k < published_->count; ++k) {
        const CycleEntry& entry = published_->cycles[k];
        uint8_t* at = report + report::CYCLES + k * cycle::SIZE;
        linkscope::store_le32(at + cycle::TYPE, entry.type);
        linkscope::store_le32(at + cycle::COUNT_OR_TIME, entry.count_or_time);
        if (!lists_identifiers(entry.type)) continue;
        for (uint32_t i = 0; i < entry.count_or_time; ++i)
            linkscope::store_le32(at + cycle::IDENTIFIERS + 4 * i, entry.identifiers[i]);
    }
}

}  // namespace analysis
