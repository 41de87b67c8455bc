// Request protocol of the Linkscope card driver: request codes, record sizes and bit fields.
// Every constant of the card protocol is named here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/driver/requestcodes.h"

namespace linkscope {

// Requests (device type 0x8C0F, METHOD_BUFFERED).
constexpr uint32_t LINKSCOPE_IOCTL_GET_INFOS = LINKSCOPE_CODE_GET_INFOS;
constexpr uint32_t LINKSCOPE_IOCTL_SET_SNIFFER = LINKSCOPE_CODE_SET_SNIFFER;
constexpr uint32_t LINKSCOPE_IOCTL_SET_EPOCH = LINKSCOPE_CODE_SET_EPOCH;
constexpr uint32_t LINKSCOPE_IOCTL_RESET = LINKSCOPE_CODE_RESET;
constexpr uint32_t LINKSCOPE_IOCTL_WAIT_EVENTS = LINKSCOPE_CODE_WAIT_EVENTS;
constexpr uint32_t LINKSCOPE_IOCTL_RELEASE_WAIT = LINKSCOPE_CODE_RELEASE_WAIT;

constexpr uint32_t SNIFFER_ON = 1;
constexpr uint32_t SNIFFER_OFF = 0;
constexpr std::size_t SNIFFER_INPUT_SIZE = LINKSCOPE_SIZE_SNIFFER_INPUT;
constexpr std::size_t EPOCH_INPUT_SIZE = LINKSCOPE_SIZE_EPOCH_INPUT;

// Device numbers: the gateway's card index i opens device i + 1.
constexpr int FIRST_DEVICE_NUMBER = 1;
constexpr int GATEWAY_CARD_INDEX_COUNT = 16;
constexpr int LISTED_DEVICE_COUNT = 16;
constexpr int MAX_DEVICE_NUMBER = LINKSCOPE_MAX_DEVICE_NUMBER;

// Device information record.
constexpr std::size_t DEVICE_INFOS_SIZE = LINKSCOPE_SIZE_DEVICE_INFOS;
constexpr int DEVICE_INFOS_BAR_COUNT = 6;

// Event block delivered by LINKSCOPE_IOCTL_WAIT_EVENTS.
constexpr std::size_t EVENT_BLOCK_SIZE = LINKSCOPE_SIZE_EVENT_BLOCK;
constexpr std::size_t EVENT_AREA_OFFSET = 12;
constexpr std::size_t EVENT_AREA_SIZE = 32768;
constexpr uint32_t BLOCK_FLAG_EVENTS_A = 1u << 31;
constexpr uint32_t BLOCK_FLAG_EVENTS_B = 1u << 30;
static_assert(EVENT_AREA_OFFSET + EVENT_AREA_SIZE == EVENT_BLOCK_SIZE, "event area fills the block");

// Event record: 30-byte big-endian header, then the frame with its 2-byte FCS.
constexpr uint8_t EVT_MARKER = 0xC0;
constexpr std::size_t EVT_HEADER_SIZE = 30;
constexpr std::size_t EVT_OFF_MARKER = 0;
constexpr std::size_t EVT_OFF_LENGTH = 1;
constexpr std::size_t EVT_OFF_STATUS = 3;
constexpr std::size_t EVT_OFF_INDEX = 5;
constexpr std::size_t EVT_OFF_TIMESTAMP = 13;
constexpr std::size_t EVT_OFF_TIME_A = 21;
constexpr std::size_t EVT_OFF_TIME_B = 24;
constexpr std::size_t EVT_OFF_FRAME = 30;
constexpr std::size_t FCS_SIZE = 2;
// The largest record the 16-bit length field can describe.
constexpr std::size_t EVT_MAX_LENGTH = 0xFFFF;

// evt_status bits.
constexpr uint16_t STATUS_RX_ERROR_MASK = 0x000F;  // bits 0 to 3
constexpr uint16_t STATUS_BIT0 = 1u << 0;
constexpr uint16_t STATUS_BIT1 = 1u << 1;
constexpr uint16_t STATUS_BIT2 = 1u << 2;
constexpr uint16_t STATUS_BIT3 = 1u << 3;
constexpr uint16_t STATUS_BIT4 = 1u << 4;
constexpr uint16_t STATUS_BIT5 = 1u << 5;
constexpr uint16_t STATUS_BIT6 = 1u << 6;
constexpr unsigned STATUS_FCS_MODE_SHIFT = 11;
constexpr uint16_t STATUS_FCS_MODE_MASK = 0x3;
constexpr unsigned STATUS_PERIOD_CODE_SHIFT = 13;
constexpr uint16_t STATUS_PERIOD_CODE_MASK = 0x7;

// Frame check modes.
constexpr uint8_t FCS_MODE_1021 = 1;
constexpr uint8_t FCS_MODE_1DCF = 2;
constexpr uint16_t FCS_POLY_1021 = 0x1021;
constexpr uint16_t FCS_POLY_1DCF = 0x1DCF;
constexpr uint16_t FCS_INIT_1021 = 0x0000;
constexpr uint16_t FCS_INIT_1DCF = 0xFFFF;

// Frame layout details shared by the checks of both deliverables.
constexpr uint8_t PDU_TYPE_MASK = static_cast<uint8_t>(~0x10u);  // bit 4 is cleared before the PDU check
constexpr uint8_t PDU_TYPE_EXPECTED = 0x40;

}  // namespace linkscope
