// busdump on an arbitrary datagram: the decoder, the stream tracker and both formatters.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/driver/protocol.h"
#include "common/stream/datagramheader.h"
#include "common/stream/recordwalk.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/streamtracker.h"
#include "tools/busdump/textformatter.h"

using namespace busdump;

namespace {

void check_decoded(const DecodedDatagram& d, std::size_t size) {
    if (d.size != size) std::abort();
    if (!d.ok()) {
        if (!d.records.empty()) std::abort();
        return;
    }
    // A sound datagram: its records tile the payload and match the header's count.
    if (!d.header_valid || d.records.size() != d.record_count) std::abort();
    std::size_t offset = DatagramHeader::HEADER_SIZE;
    for (const DecodedRecord& r : d.records) {
        if (r.offset != offset || r.length < RecordWalk::RECORD_MIN_SIZE) std::abort();
        offset += r.length;
        if (r.kind != RecordKind::event) continue;
        // The data lies between the control byte and the FCS.
        const std::size_t n = r.event.frame_length;
        if (n != r.length - linkscope::EVT_HEADER_SIZE) std::abort();
        if (r.event.data_length != (n >= 3 ? n - 3 : 0)) std::abort();
    }
    if (offset != size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const DecodedDatagram decoded = DatagramDecoder::decode(data, size);
    check_decoded(decoded, size);

    const TextFormatter text;
    const JsonFormatter json;
    const Arrival arrival{1700000000123456, "127.0.0.1:57117"};
    std::size_t produced = 0;
    for (std::size_t i = 0; i < decoded.records.size(); ++i)
        produced += text.record(arrival, decoded, i).size() + json.record(arrival, decoded, i).size();

    // Seen twice, the same datagram tells the tracker of a repeat or a restart.
    StreamTracker tracker;
    for (int pass = 0; pass < 2; ++pass)
        for (const Notice& notice : tracker.observe(decoded))
            produced += text.notice(arrival, decoded, notice).size() + json.notice(arrival, decoded, notice).size();
    if (produced == 0 && !decoded.records.empty()) std::abort();
    return 0;
}
