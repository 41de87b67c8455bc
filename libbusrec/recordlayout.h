// Layout checks of the records that carry pointers or handles: the documented offsets on a
// 32-bit target, the same fields widened to pointer size on a 64-bit one.
#pragma once

#include <cstddef>

#include "common/driver/deviceinfos.h"
#include "libbusrec/include/busrec.h"

namespace busrec {

namespace layout {
constexpr std::size_t P = sizeof(void*);
constexpr std::size_t EXTRA = P - 4;  // growth of each pointer field beyond its documented 4 bytes
}  // namespace layout

static_assert(sizeof(busrec_version) == 8, "version record");
static_assert(offsetof(busrec_version, release) == 4, "version record");

static_assert(sizeof(device_infos) == linkscope::DEVICE_INFOS_SIZE, "public device_infos is the driver's record");
static_assert(sizeof(device_infos) == sizeof(linkscope::device_infos), "device_infos copies byte for byte");
static_assert(offsetof(device_infos, bar_bsz) == 20 && offsetof(device_infos, bar_base) == 68 &&
                  offsetof(device_infos, irq_number) == 116 && offsetof(device_infos, info_ext1) == 124 &&
                  offsetof(device_infos, info_ext2) == 128,
              "device_infos layout");

static_assert(offsetof(busrec_device, infos) == 0, "device record layout");
static_assert(offsetof(busrec_device, bound) == 132, "device record layout");
static_assert(offsetof(busrec_device, handle) == 136, "device record layout");
static_assert(offsetof(busrec_device, irq_thread) == 140 + 1 * layout::EXTRA, "device record layout");
static_assert(offsetof(busrec_device, irq_running) == 144 + 2 * layout::EXTRA, "device record layout");
static_assert(offsetof(busrec_device, diag_thread) == 148 + 2 * layout::EXTRA, "device record layout");
static_assert(offsetof(busrec_device, diag_running) == 152 + 3 * layout::EXTRA, "device record layout");
static_assert(offsetof(busrec_device, session) == 156 + 3 * layout::EXTRA, "device record layout");
static_assert(sizeof(busrec_device) == 160 + 4 * layout::EXTRA, "device record size");

static_assert(offsetof(busrec_sess_cfg, sync_id) == 0, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, device) == 2, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, user1) == 6 + 1 * layout::EXTRA, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, user2) == 10 + 1 * layout::EXTRA, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, data_handler) == 14 + 1 * layout::EXTRA, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, diag_handler) == 18 + 2 * layout::EXTRA, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, error_handler) == 22 + 3 * layout::EXTRA, "session configuration layout");
static_assert(offsetof(busrec_sess_cfg, reset_handler) == 26 + 4 * layout::EXTRA, "session configuration layout");
static_assert(sizeof(busrec_sess_cfg) == 30 + 5 * layout::EXTRA, "session configuration size");

static_assert(offsetof(busrec_sess_infos, cfg) == 0, "session information layout");
static_assert(offsetof(busrec_sess_infos, sn) == 30 + 5 * layout::EXTRA, "session information layout");
static_assert(offsetof(busrec_sess_infos, drv_version) == 34 + 5 * layout::EXTRA, "session information layout");
static_assert(offsetof(busrec_sess_infos, info_ext1) == 38 + 5 * layout::EXTRA, "session information layout");
static_assert(offsetof(busrec_sess_infos, version) == 42 + 5 * layout::EXTRA, "session information layout");
static_assert(offsetof(busrec_sess_infos, release) == 46 + 5 * layout::EXTRA, "session information layout");
static_assert(sizeof(busrec_sess_infos) == 50 + 5 * layout::EXTRA, "session information size");

static_assert(sizeof(busrec_sess) == 2 * layout::P, "session handle: two pointers");

static_assert(offsetof(busrec_event, evt_index) == 0, "event layout");
static_assert(offsetof(busrec_event, evt_timestamp) == 8, "event layout");
static_assert(offsetof(busrec_event, time_a) == 16, "event layout");
static_assert(offsetof(busrec_event, time_b) == 20, "event layout");
static_assert(offsetof(busrec_event, error) == 24, "event layout");
static_assert(offsetof(busrec_event, frame_length) == 25, "event layout");
static_assert(offsetof(busrec_event, frame) == 27, "event layout");
static_assert(offsetof(busrec_event, control) == 31 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, identifier) == 32 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, fcs) == 34 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, frame_class) == 36 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, class3_b4_6) == 40 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, word44) == 44 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, word44) + offsetof(decltype(busrec_event::word44), response.pdu_type) ==
                  47 + layout::EXTRA,
              "event layout: the PDU type shares the top byte of the class-3 word");
static_assert(offsetof(busrec_event, data_length) == 48 + layout::EXTRA, "event layout");
static_assert(offsetof(busrec_event, data) == 50 + layout::EXTRA, "event layout");
static_assert(sizeof(busrec_event) == 54 + 2 * layout::EXTRA, "event size");

}  // namespace busrec
