// The senders busdump has heard, by "address:port", in the order they were first heard.
// Untrusted senders could make any number of entries: past MAX_SOURCES, every new sender
// shares one untracked entry, "other senders".
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/busdump/source.h"

namespace busdump {

class SourceTable {
public:
    static constexpr std::size_t MAX_SOURCES = 256;
    static constexpr const char* OVERFLOW_NAME = "other senders";

    // The entry of `address`, made on first use.
    Source& find(const std::string& address);

    const std::vector<std::unique_ptr<Source>>& sources() const { return sources_; }

private:
    std::vector<std::unique_ptr<Source>> sources_;
    std::map<std::string, Source*> by_address_;
    Source* overflow_ = nullptr;
};

}  // namespace busdump
