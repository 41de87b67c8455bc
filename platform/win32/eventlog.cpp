// The Windows event log (Application). The installer registers the source with busgated.exe as
// its message file, whose message table has one error entry that shows its single text as is.
#include "platform/eventlog.h"

#include <windows.h>

#include "platform/win32/eventmessages.h"

namespace platform {

namespace {

void* open_event_source(const char* source) { return RegisterEventSourceA(nullptr, source); }

bool report_error_entry(void* log, const char* text) {
    const char* strings[] = {text};
    return ReportEventA(static_cast<HANDLE>(log), EVENTLOG_ERROR_TYPE, 0, MSG_GATEWAY_ERROR, nullptr, 1, 0, strings,
                        nullptr) != 0;
}

void close_event_source(void* log) { DeregisterEventSource(static_cast<HANDLE>(log)); }

}  // namespace

EventLogCalls system_event_log_calls() { return {open_event_source, report_error_entry, close_event_source}; }

}  // namespace platform
