// The system's event log, where an administrator reads why a service failed (Event Viewer on
// Windows). A service writes its error lines there besides its own log, so that a start without
// a card, a lost card or a full disk is told also when no log file was named or it cannot be
// written. Where the platform keeps no such log (Linux: a service's output already reaches the
// journal), or the log cannot be reached, the lines go nowhere and nothing fails.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace platform {

// The calls that reach the event log; tests give a double of them.
struct EventLogCalls {
    void* (*open)(const char* source);                  // null: no event log to write to
    bool (*report_error)(void* log, const char* text);  // one error entry with this text
    void (*close)(void* log);
};

// The platform's calls: on Windows RegisterEventSourceA, ReportEventA (an error entry whose
// message is the text itself) and DeregisterEventSource; elsewhere `open` answers null.
EventLogCalls system_event_log_calls();

class EventLog {
public:
    // Longest text of one entry; a longer one is cut there (the event log takes 31 839 characters).
    static constexpr std::size_t MAX_TEXT = 31000;

    explicit EventLog(const char* source, EventLogCalls calls = system_event_log_calls());
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool is_open() const { return log_ != nullptr; }
    // Writes one error entry: `message` without its final line feed. False when there is no
    // event log or the entry was refused; the caller goes on either way.
    bool report_error(const char* message);

    // The text of an entry for a log line's message.
    static std::string entry_text(const char* message);

private:
    EventLogCalls calls_;
    void* log_;
    std::mutex mutex_;
};

}  // namespace platform
