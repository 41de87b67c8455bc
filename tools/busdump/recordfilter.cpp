#include "tools/busdump/recordfilter.h"

#include <algorithm>

#include "common/driver/controlbyte.h"

namespace busdump {

namespace {

template <typename T>
bool contains(const std::vector<T>& list, T value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

RecordFilter::RecordFilter(const Options& options)
    : identifiers_(options.identifiers),
      controls_(options.controls),
      errors_only_(options.errors_only),
      lifesigns_only_(options.lifesigns_only) {}

bool RecordFilter::is_error(const DecodedRecord& record) {
    if (record.kind == RecordKind::unknown) return true;
    if (record.kind != RecordKind::event) return false;
    const EventInfo& e = record.event;
    return e.rx_errors != 0 || e.fcs == FcsResult::bad || (e.control && !linkscope::ControlByte::is_known(*e.control));
}

bool RecordFilter::identifier_matches(const EventInfo& event) const {
    return (event.identifier && contains(identifiers_, *event.identifier)) ||
           (event.response_to && contains(identifiers_, *event.response_to));
}

bool RecordFilter::control_matches(const EventInfo& event) const {
    return event.control && contains(controls_, *event.control);
}

bool RecordFilter::shows(const DecodedRecord& record) const {
    if (lifesigns_only_ && record.kind != RecordKind::lifesign) return false;
    if (errors_only_ && !is_error(record)) return false;
    const bool is_event = record.kind == RecordKind::event;
    if (!identifiers_.empty() && !(is_event && identifier_matches(record.event))) return false;
    if (!controls_.empty() && !(is_event && control_matches(record.event))) return false;
    return true;
}

}  // namespace busdump
