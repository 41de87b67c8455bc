#include "common/driver/deviceinfos.h"

#include "common/driver/byteorder.h"

namespace linkscope {

namespace {
constexpr std::size_t OFF_INDEX = 0;
constexpr std::size_t OFF_SN = 4;
constexpr std::size_t OFF_VID = 8;
constexpr std::size_t OFF_DID = 10;
constexpr std::size_t OFF_SSVID = 12;
constexpr std::size_t OFF_SSDID = 14;
constexpr std::size_t OFF_BAR_CNT = 16;
constexpr std::size_t OFF_BAR_BSZ = 20;
constexpr std::size_t OFF_BAR_BASE = 68;
constexpr std::size_t OFF_IRQ = 116;
constexpr std::size_t OFF_DRV_VERSION = 120;
constexpr std::size_t OFF_EXT1 = 124;
constexpr std::size_t OFF_EXT2 = 128;
static_assert(OFF_EXT2 + 4 == DEVICE_INFOS_SIZE, "offsets cover the record");
}  // namespace

device_infos decode_device_infos(const uint8_t* b) {
    device_infos d{};
    d.index = static_cast<int32_t>(load_le32(b + OFF_INDEX));
    d.sn = load_le32(b + OFF_SN);
    d.vid = load_le16(b + OFF_VID);
    d.did = load_le16(b + OFF_DID);
    d.ssvid = load_le16(b + OFF_SSVID);
    d.ssdid = load_le16(b + OFF_SSDID);
    d.bar_cnt = static_cast<int32_t>(load_le32(b + OFF_BAR_CNT));
    for (int i = 0; i < DEVICE_INFOS_BAR_COUNT; ++i) {
        d.bar_bsz[i] = load_le64(b + OFF_BAR_BSZ + 8 * i);
        d.bar_base[i] = load_le64(b + OFF_BAR_BASE + 8 * i);
    }
    d.irq_number = static_cast<int32_t>(load_le32(b + OFF_IRQ));
    d.drv_version = load_le32(b + OFF_DRV_VERSION);
    d.info_ext1 = load_le32(b + OFF_EXT1);
    d.info_ext2 = load_le32(b + OFF_EXT2);
    return d;
}

void encode_device_infos(const device_infos& d, uint8_t* b) {
    store_le32(b + OFF_INDEX, static_cast<uint32_t>(d.index));
    store_le32(b + OFF_SN, d.sn);
    store_le16(b + OFF_VID, d.vid);
    store_le16(b + OFF_DID, d.did);
    store_le16(b + OFF_SSVID, d.ssvid);
    store_le16(b + OFF_SSDID, d.ssdid);
    store_le32(b + OFF_BAR_CNT, static_cast<uint32_t>(d.bar_cnt));
    for (int i = 0; i < DEVICE_INFOS_BAR_COUNT; ++i) {
        store_le64(b + OFF_BAR_BSZ + 8 * i, d.bar_bsz[i]);
        store_le64(b + OFF_BAR_BASE + 8 * i, d.bar_base[i]);
    }
    store_le32(b + OFF_IRQ, static_cast<uint32_t>(d.irq_number));
    store_le32(b + OFF_DRV_VERSION, d.drv_version);
    store_le32(b + OFF_EXT1, d.info_ext1);
    store_le32(b + OFF_EXT2, d.info_ext2);
}

}  // namespace linkscope
