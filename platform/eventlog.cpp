#include "platform/eventlog.h"

#include <cstring>

namespace platform {

EventLog::EventLog(const char* source, EventLogCalls calls) : calls_(calls), log_(calls_.open(source)) {}

EventLog::~EventLog() {
    if (log_ != nullptr) calls_.close(log_);
}

std::string EventLog::entry_text(const char* message) {
    std::string text = message != nullptr ? message : "";
    if (text.size() > MAX_TEXT) text.resize(MAX_TEXT);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool EventLog::report_error(const char* message) {
    if (log_ == nullptr) return false;
    const std::string text = entry_text(message);
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.report_error(log_, text.c_str());
}

}  // namespace platform
