// The exported C interface: library, device and session functions.
#include "libbusrec/include/busrec.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/driver/cardrequests.h"
#include "common/driver/deviceinfos.h"
#include "common/driver/devicepath.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "libbusrec/recordlayout.h"
#include "libbusrec/reportlayout.h"
#include "libbusrec/session.h"
#include "platform/deviceio.h"
#include "sim/simulatedcards.h"

using busrec::Session;

namespace {

constexpr busrec_version VERSION = {0x00010000u, 0x0017020Eu};

constexpr int FIRST_LIBRARY_ERROR = BUSREC_E_DEV_BOUND;
const char* const LIBRARY_ERRORS[] = {
    "The device is already bound to another Busrecorder session.",
    "IRQ handler is already started.",
    "IRQ handler is already stopped.",
    "Diagnostic task is already started.",
    "Diagnostic task is already stopped.",
    "Busrecorder is currently running.",
    "Busrecorder is currently stopped.",
    "Objects do not belong to the same session context.",
    "Reset/Error handlers are mandatory.",
    "The device no longer answers; the session has stopped capturing.",
};
constexpr int LIBRARY_ERROR_COUNT = sizeof LIBRARY_ERRORS / sizeof LIBRARY_ERRORS[0];
static_assert(FIRST_LIBRARY_ERROR + LIBRARY_ERROR_COUNT - 1 == BUSREC_E_CARD_LOST, "one message per code");

int fail(int code) {
    errno = code;
    return -1;
}

Session* session_of(const busrec_sess* sess) { return reinterpret_cast<Session*>(sess->context); }

bool is_whole(const busrec_sess* sess) { return sess && sess->infos && sess->context; }

void copy_infos(::device_infos* out, const linkscope::device_infos& in) {
    static_assert(sizeof *out == sizeof in, "the public record is the driver's record");
    std::memcpy(out, &in, sizeof in);
}

void free_session_parts(busrec_sess* sess, Session* context) {
    delete context;
    std::free(sess->infos);
    std::free(sess);
}

}  // namespace

extern "C" {

int busrec_init(void) {
    linkscope::FrameCheck::table_1021();
    linkscope::FrameCheck::table_1dcf();
    return 0;
}

void busrec_exit(void) {}

const busrec_version* busrec_version_get(void) { return &VERSION; }

int busrec_error_get(void) { return errno; }

const char* busrec_strerror(int code) {
    if (code >= FIRST_LIBRARY_ERROR && code < FIRST_LIBRARY_ERROR + LIBRARY_ERROR_COUNT)
        return LIBRARY_ERRORS[code - FIRST_LIBRARY_ERROR];
    return std::strerror(code);
}

busrec_device* busrec_device_open(uint8_t number) {
    // Every card of the library is opened here: the simulated cards that LINKSCOPE_SIM asks for
    // are offered before the first open, and the library does nothing when it is loaded.
    sim::offer_simulated_cards();
    if (number == 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* dev = static_cast<busrec_device*>(std::calloc(1, sizeof(busrec_device)));
    if (!dev) return nullptr;
    char path[32];
    std::snprintf(path, sizeof path, linkscope::DEVICE_PATH_FORMAT, number);
    const platform::DeviceHandle handle = platform::device_open(path);
    if (handle == platform::INVALID_DEVICE_HANDLE) {
        std::free(dev);
        errno = EACCES;
        return nullptr;
    }
    uint8_t infos[linkscope::DEVICE_INFOS_SIZE];
    if (!linkscope::request_infos(handle, infos)) {
        platform::device_close(handle);
        std::free(dev);
        errno = EFAULT;
        return nullptr;
    }
    copy_infos(&dev->infos, linkscope::decode_device_infos(infos));
    dev->handle = handle;
    return dev;
}

int busrec_device_close(busrec_device* dev) {
    if (!dev) return fail(EINVAL);
    // Its session's threads still use the handle.
    if (dev->bound) return fail(BUSREC_E_DEV_BOUND);
    platform::device_close(static_cast<platform::DeviceHandle>(dev->handle));
    std::free(dev);
    return 0;
}

int busrec_device_reset(busrec_device* dev) {
    if (!dev || dev->handle == platform::INVALID_DEVICE_HANDLE) return fail(EINVAL);
    linkscope::request_reset(static_cast<platform::DeviceHandle>(dev->handle));
    return 0;
}

int busrec_device_infos_get(const busrec_device* dev, device_infos* out) {
    if (!dev || !out) return fail(EINVAL);
    std::memcpy(out, &dev->infos, sizeof *out);
    return 0;
}

int busrec_device_list_get(device_infos* out, int* count) {
    if (!out || !count) return fail(EINVAL);
    const int saved_errno = errno;  // absent cards are not a failure of the listing
    int found = 0;
    for (int number = linkscope::FIRST_DEVICE_NUMBER; number <= linkscope::LISTED_DEVICE_COUNT; ++number) {
        busrec_device* dev = busrec_device_open(static_cast<uint8_t>(number));
        if (!dev) continue;
        out[found++] = dev->infos;
        busrec_device_close(dev);
    }
    errno = saved_errno;
    *count = found;
    return 0;
}

busrec_sess* busrec_sess_init(const busrec_sess_cfg* cfg) {
    if (!cfg) return errno = EINVAL, nullptr;
    if (!cfg->reset_handler || !cfg->error_handler) return errno = BUSREC_E_HANDLERS, nullptr;
    if (!cfg->device) return errno = EINVAL, nullptr;
    if (cfg->device->bound) return errno = BUSREC_E_DEV_BOUND, nullptr;

    auto* sess = static_cast<busrec_sess*>(std::calloc(1, sizeof(busrec_sess)));
    if (!sess) return nullptr;
    sess->infos = static_cast<busrec_sess_infos*>(std::calloc(1, sizeof(busrec_sess_infos)));
    Session* context = nullptr;
    if (sess->infos) {
        try {
            context = new Session(sess, *cfg);
        } catch (const std::bad_alloc&) {
        }
    }
    if (!context) {
        free_session_parts(sess, nullptr);
        errno = ENOMEM;
        return nullptr;
    }
    sess->context = reinterpret_cast<busrec_sess_ctx*>(context);
    std::memcpy(&sess->infos->cfg, cfg, sizeof *cfg);

    cfg->reset_handler(sess);

    busrec_device* dev = cfg->device;
    dev->bound = 1;
    dev->session = context;
    if (context->start_irq_handler() != 0 || context->start_diag_task() != 0) {
        const int reason = errno;
        free_session_parts(sess, context);  // stops whichever thread did start
        dev->bound = 0;
        dev->session = nullptr;
        errno = reason;
        return nullptr;
    }
    sess->infos->sn = dev->infos.sn;
    sess->infos->drv_version = dev->infos.drv_version;
    sess->infos->info_ext1 = dev->infos.info_ext1;
    sess->infos->version = VERSION.version;
    sess->infos->release = VERSION.release;
    context->set_state(BUSREC_STATE_STOPPED);
    return sess;
}

int busrec_sess_exit(busrec_sess* sess) {
    if (!is_whole(sess)) return fail(EINVAL);
    Session* context = session_of(sess);
    busrec_device* dev = context->device();
    if (!dev) return fail(EINVAL);
    if (context->on_own_thread()) return fail(EDEADLK);  // a handler cannot join its own thread
    if (context->stop_diag_task() != 0) return -1;
    if (context->stop_irq_handler() != 0) return -1;
    const int stopped = context->stop();
    const int stop_errno = errno;
    sess->infos->cfg.reset_handler(sess);
    dev->bound = 0;
    dev->session = nullptr;
    free_session_parts(sess, context);
    errno = stop_errno;
    return stopped;
}

int busrec_sess_start(busrec_sess* sess) {
    if (!is_whole(sess) || !session_of(sess)->device()) return fail(EINVAL);
    return session_of(sess)->start();
}

int busrec_sess_stop(busrec_sess* sess) {
    if (!is_whole(sess)) return fail(EINVAL);
    return session_of(sess)->stop();
}

int busrec_sess_report_get(busrec_sess* sess, busrec_report* out) {
    if (!is_whole(sess) || !out) return fail(EINVAL);
    session_of(sess)->copy_report(out);
    return 0;
}

int busrec_sess_stats_clear(busrec_sess* sess) {
    if (!is_whole(sess)) return fail(EINVAL);
    session_of(sess)->clear_stats();
    return 0;
}

}  // extern "C"
