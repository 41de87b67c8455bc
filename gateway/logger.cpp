#include "gateway/logger.h"

#include <chrono>

#include "platform/console.h"
#include "platform/streamlock.h"

namespace logger {

std::atomic<bool> is_colorized{false};

namespace {

constexpr const char* RESET = "\033[0m";
constexpr const char* TIMESTAMP_COLOR = "\033[0;32m";
constexpr std::size_t TIMESTAMP_BUFFER_SIZE = 100;

// Colour of the tag, null for none.
const char* level_color(int level) {
    switch (level) {
        case WARN: return "\033[0;33m";
        case ERR: return "\033[0;31m";
        case EVENT: return "\033[0;36m";
        default: return nullptr;
    }
}

std::atomic<ErrorSink> error_sink{nullptr};

void forward_error(const char* fmt, va_list args) {
    const ErrorSink sink = error_sink.load();
    if (sink == nullptr) return;
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (size < 0) return;
    std::string message(static_cast<std::size_t>(size) + 1, '\0');
    va_copy(copy, args);
    std::vsnprintf(message.data(), message.size(), fmt, copy);
    va_end(copy);
    message.resize(static_cast<std::size_t>(size));
    sink(message.c_str());
}

std::string current_timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const auto seconds = duration_cast<std::chrono::seconds>(now);
    const long microseconds = static_cast<long>(duration_cast<std::chrono::microseconds>(now - seconds).count());
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&t, &local);
    return format_timestamp(local, microseconds);
}

}  // namespace

std::string format_timestamp(const std::tm& local, long microseconds) {
    char buffer[TIMESTAMP_BUFFER_SIZE] = {};
    std::snprintf(buffer, sizeof buffer, "%02d-%02d %02d:%02d:%02d.%06ld", local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, microseconds);
    return buffer;
}

const char* level_tag(int level) {
    switch (level) {
        case INFO: return "[info] ";
        case WARN: return "[warn] ";
        case ERR: return "[error]";
        case EVENT: return "[event]";
        default: return "[????] ";
    }
}

int vprint(FILE* stream, int level, const char* fmt, va_list args) {
    const std::string timestamp = current_timestamp();
    if (level == ERR) forward_error(fmt, args);
    if (level == DEBUG || stream == nullptr) return 0;
    const bool colored = is_colorized.load(std::memory_order_relaxed);

    // Every piece of the line under the stream's lock: lines of other threads cannot interleave.
    platform::StreamLock lock(stream);
    if (colored) {
        std::fputs(RESET, stream);
        std::fputs(TIMESTAMP_COLOR, stream);
    }
    std::fprintf(stream, "[%s] ", timestamp.c_str());
    if (colored) {
        std::fputs(RESET, stream);
        if (const char* tag_color = level_color(level)) std::fputs(tag_color, stream);
    }
    std::fprintf(stream, "%s ", level_tag(level));
    const int written = std::vfprintf(stream, fmt, args);
    if (colored) std::fputs(RESET, stream);
    std::fflush(stream);  // whole lines leave at once, whatever buffering the stream has
    return written;
}

int print(FILE* stream, int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int written = vprint(stream, level, fmt, args);
    va_end(args);
    return written;
}

void set_error_sink(ErrorSink sink) { error_sink.store(sink); }

bool win_colorization_support_check() { return platform::terminal_shows_colors(); }

}  // namespace logger
