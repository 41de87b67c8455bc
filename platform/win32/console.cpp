#include "platform/console.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/windowsfigures.h"

namespace platform {

namespace {

// RtlGetVersion tells the true version, where GetVersionEx lies to programs without a manifest.
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
constexpr ULONG OSVERSIONINFOW_SIZE = 276;
static_assert(sizeof(OSVERSIONINFOW) == OSVERSIONINFOW_SIZE, "the record RtlGetVersion fills");

bool read_windows_version(WindowsVersion* version) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return false;
    const auto rtl_get_version =
        reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (rtl_get_version == nullptr) return false;
    OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = OSVERSIONINFOW_SIZE;
    if (rtl_get_version(&info) != 0) return false;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    return true;
}

void (*stop_handler)(int) = nullptr;

BOOL WINAPI console_stop_routine(DWORD event) {
    int signal_number = 0;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: signal_number = SIGINT; break;
        case CTRL_CLOSE_EVENT: signal_number = SIGTERM; break;
        default: return FALSE;
    }
    // Later events find the default handling, as a signal whose handler gave it back.
    SetConsoleCtrlHandler(console_stop_routine, FALSE);
    if (stop_handler) stop_handler(signal_number);
    // Windows ends the process once this routine returns from a close event: holding it lets the
    // run take itself down (the process ends with main, or when the system's grace time is over).
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

// The console's output code page before the dashboard asked for UTF-8: the console outlives
// the process (cmd), so it gets its code page back at exit.
UINT original_output_code_page = 0;

void restore_output_code_page() { SetConsoleOutputCP(original_output_code_page); }

}  // namespace

bool stdout_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool terminal_shows_colors() {
    WindowsVersion version;
    return read_windows_version(&version) && console_shows_colors(version);
}

void enable_terminal_colors() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    GetConsoleMode(out, &mode);
    SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void use_utf8_console_output() {
    if (original_output_code_page != 0) return;
    const UINT current = GetConsoleOutputCP();
    if (current == 0 || current == CP_UTF8) return;  // no console, or UTF-8 already
    if (SetConsoleOutputCP(CP_UTF8) == 0) return;
    original_output_code_page = current;
    std::atexit(restore_output_code_page);
}

void deliver_console_stop_events(void (*handler)(int)) {
    stop_handler = handler;
    SetConsoleCtrlHandler(console_stop_routine, handler != nullptr);
}

}  // namespace platform
