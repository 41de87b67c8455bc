// The resident size of a process on Windows: its working set.
#include "tests/integration/support/rsssampler.h"

#include <windows.h>
#include <psapi.h>

namespace integration {

long resident_kib(ProcessId pid) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return -1;
    long kib = -1;
    DWORD code = 0;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    // An ended process keeps its object while a handle is open: it is gone all the same.
    if (GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
        K32GetProcessMemoryInfo(process, &counters, sizeof counters))
        kib = static_cast<long>(counters.WorkingSetSize / 1024);
    CloseHandle(process);
    return kib;
}

}  // namespace integration
