// Windows has neither a broken-pipe signal nor a hang-up signal: a write to a closed pipe fails
// with an error, log rotation there renames nothing under a running writer, and there is no
// user signal for a recorder (busdump --keep-now asks it through its keep folder instead). Reopening the
// log in place is still offered, for a caller that asks for it.
#include "platform/signals.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/streamlock.h"

namespace platform {

void ignore_closed_output() {}

void on_log_reopen_request(void (*)(int)) {}

void raise_on_stop_signal(std::atomic<bool>*) {}
int keep_request_signal() { return 0; }

bool reopen_append(FILE* stream, const char* path) {
    if (stream == nullptr || path == nullptr) return false;
    const int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return false;
    bool switched = false;
    {
        StreamLock lock(stream);
        std::fflush(stream);
        switched = _dup2(fd, _fileno(stream)) == 0;
    }
    _close(fd);
    return switched;
}

}  // namespace platform
