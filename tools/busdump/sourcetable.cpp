#include "tools/busdump/sourcetable.h"

namespace busdump {

Source& SourceTable::find(const std::string& address) {
    const auto known = by_address_.find(address);
    if (known != by_address_.end()) return *known->second;
    if (overflow_) return *overflow_;
    const auto number = static_cast<unsigned>(sources_.size() + 1);
    if (sources_.size() + 1 < MAX_SOURCES) {
        sources_.push_back(std::make_unique<Source>(number, address));
        by_address_[address] = sources_.back().get();
        return *sources_.back();
    }
    sources_.push_back(std::make_unique<Source>(number, OVERFLOW_NAME, false));
    overflow_ = sources_.back().get();
    return *overflow_;
}

}  // namespace busdump
