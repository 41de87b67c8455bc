// Chooses the records that busdump shows; it counts every record whatever is shown.
#pragma once

#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/options.h"

namespace busdump {

class RecordFilter {
public:
    explicit RecordFilter(const Options& options);

    // True when the record passes every filter given (a list passes on any of its items).
    // An identifier filter passes an ID frame of that identifier and the response to it.
    bool shows(const DecodedRecord& record) const;

    static bool is_error(const DecodedRecord& record);

private:
    bool identifier_matches(const EventInfo& event) const;
    bool control_matches(const EventInfo& event) const;

    std::vector<uint16_t> identifiers_;
    std::vector<uint8_t> controls_;
    bool errors_only_;
    bool lifesigns_only_;
};

}  // namespace busdump
