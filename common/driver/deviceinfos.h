// The card's device information record, as LINKSCOPE_IOCTL_GET_INFOS returns it (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/protocol.h"

namespace linkscope {

#pragma pack(push, 1)
struct device_infos {
    int32_t index;
    uint32_t sn;
    uint16_t vid;
    uint16_t did;
    uint16_t ssvid;
    uint16_t ssdid;
    int32_t bar_cnt;
    uint64_t bar_bsz[DEVICE_INFOS_BAR_COUNT];
    uint64_t bar_base[DEVICE_INFOS_BAR_COUNT];
    int32_t irq_number;
    uint32_t drv_version;
    uint32_t info_ext1;
    uint32_t info_ext2;
};
#pragma pack(pop)

static_assert(sizeof(device_infos) == DEVICE_INFOS_SIZE, "device_infos is 132 bytes");
static_assert(offsetof(device_infos, index) == 0, "device_infos layout");
static_assert(offsetof(device_infos, sn) == 4, "device_infos layout");
static_assert(offsetof(device_infos, vid) == 8, "device_infos layout");
static_assert(offsetof(device_infos, did) == 10, "device_infos layout");
static_assert(offsetof(device_infos, ssvid) == 12, "device_infos layout");
static_assert(offsetof(device_infos, ssdid) == 14, "device_infos layout");
static_assert(offsetof(device_infos, bar_cnt) == 16, "device_infos layout");
static_assert(offsetof(device_infos, bar_bsz) == 20, "device_infos layout");
static_assert(offsetof(device_infos, bar_base) == 68, "device_infos layout");
static_assert(offsetof(device_infos, irq_number) == 116, "device_infos layout");
static_assert(offsetof(device_infos, drv_version) == 120, "device_infos layout");
static_assert(offsetof(device_infos, info_ext1) == 124, "device_infos layout");
static_assert(offsetof(device_infos, info_ext2) == 128, "device_infos layout");

// Reads the driver's 132 little-endian bytes field by field.
device_infos decode_device_infos(const uint8_t* bytes);
// Writes the record as the driver delivers it (used by simulated cards and test devices).
void encode_device_infos(const device_infos& infos, uint8_t* bytes);

}  // namespace linkscope
