// The gateway's one way to write a log line: timestamp, level tag, message.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace logger {

enum Level : int {
    INFO = 0,
    WARN = 1,
    ERR = 2,
    EVENT = 3,
    DEBUG = 4,  // written nowhere
};

// Set from the command line before any worker thread exists; read on every line.
extern std::atomic<bool> is_colorized;

// Writes "[mm-dd hh:mm:ss.uuuuuu] <tag> <message>" to `stream` as one line that the lines of
// other threads cannot interleave. Returns what vfprintf of the message returned, 0 for DEBUG.
int print(FILE* stream, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int vprint(FILE* stream, int level, const char* fmt, va_list args);

// Where the message of every error line also goes, besides its stream (in service mode: the
// system's event log); null: nowhere. Set before the worker threads start, cleared after.
using ErrorSink = void (*)(const char* message);
void set_error_sink(ErrorSink sink);

// "mm-dd hh:mm:ss.uuuuuu" for a broken-down local time and its microseconds.
std::string format_timestamp(const std::tm& local, long microseconds);

// The 7-character tag of a level ("[info] ", "[????] " for an unknown level).
const char* level_tag(int level);

// Whether the console can show the colour sequences.
bool win_colorization_support_check();

// Sequences for the console dashboard.
namespace color {
inline constexpr const char* reset = "\033[0m";
inline constexpr const char* black = "\033[30m";
inline constexpr const char* red = "\033[31m";
inline constexpr const char* green = "\033[32m";
inline constexpr const char* yellow = "\033[33m";
inline constexpr const char* blue = "\033[34m";
inline constexpr const char* magenta = "\033[35m";
inline constexpr const char* cyan = "\033[36m";
inline constexpr const char* white = "\033[37m";
inline constexpr const char* boldblack = "\033[1m\033[30m";
inline constexpr const char* boldred = "\033[1m\033[31m";
inline constexpr const char* boldgreen = "\033[1m\033[32m";
inline constexpr const char* boldyellow = "\033[1m\033[33m";
inline constexpr const char* boldblue = "\033[1m\033[34m";
inline constexpr const char* boldmagenta = "\033[1m\033[35m";
inline constexpr const char* boldcyan = "\033[1m\033[36m";
inline constexpr const char* boldwhite = "\033[1m\033[37m";
}  // namespace color

}  // namespace logger
