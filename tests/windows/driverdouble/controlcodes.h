/* The control device of the card driver double: the names it creates and the requests through
 * which tests steer it. Shared by the kernel driver (C, DDK headers) and its Win32 clients.
 * Every record is little-endian at the offsets named here. */
#ifndef BUSGATE_DRIVERDOUBLE_CONTROLCODES_H
#define BUSGATE_DRIVERDOUBLE_CONTROLCODES_H

/* Win32 path of the control device; the cards keep the names the real driver gives them. */
#define DOUBLE_CONTROL_PATH "\\\\.\\LinkscopeDoubleControl"
#define DOUBLE_CONTROL_DEVICE_NAME L"\\Device\\LinkscopeDoubleControl"
#define DOUBLE_CONTROL_LINK_NAME L"\\DosDevices\\LinkscopeDoubleControl"
#define DOUBLE_CARD_DEVICE_PREFIX L"\\Device\\LinkscopeDouble"
#define DOUBLE_CARD_LINK_PREFIX L"\\DosDevices\\LINKSCOPE"
/* The card that exists after the driver starts and after every reset. */
#define DOUBLE_DEFAULT_CARD 1u

/* FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions from 0x900. */
#define DOUBLE_CTL(function) ((0x22u << 16) | ((unsigned)(function) << 2))

/* Every card request below starts its input with the card's device number (u32). */
#define DOUBLE_CTL_ADD_CARD DOUBLE_CTL(0x901)    /* in: number */
#define DOUBLE_CTL_REMOVE_CARD DOUBLE_CTL(0x902) /* in: number */
#define DOUBLE_CTL_SET_INFOS DOUBLE_CTL(0x903)   /* in: number, 132-byte device_infos */
#define DOUBLE_CTL_INJECT DOUBLE_CTL(0x904)      /* in: number, 32780-byte event block */
#define DOUBLE_CTL_READ_LOG DOUBLE_CTL(0x905)    /* in: number; out: log header, entries */
#define DOUBLE_CTL_READ_STATE DOUBLE_CTL(0x906)  /* in: number; out: state record */
#define DOUBLE_CTL_BREAK DOUBLE_CTL(0x907)       /* in: number; the card stops answering */
#define DOUBLE_CTL_RESET DOUBLE_CTL(0x908)       /* no input: back to the state after start */

#define DOUBLE_CARD_NUMBER_SIZE 4u

/* Blocks injected while no wait is pending are kept, oldest first, up to this many. */
#define DOUBLE_MAX_QUEUED_BLOCKS 256u

/* Request log of one card: every request it received, in order of arrival. */
#define DOUBLE_LOG_CAPACITY 8192u
#define DOUBLE_LOG_HEADER_SIZE 8u
#define DOUBLE_LOG_OFF_TOTAL 0u    /* u32: requests received since the last reset */
#define DOUBLE_LOG_OFF_RETURNED 4u /* u32: entries that follow */
#define DOUBLE_LOG_ENTRY_SIZE 32u
#define DOUBLE_ENTRY_OFF_MAJOR 0u         /* u32: 0 open, 2 close, 14 request, 18 cleanup */
#define DOUBLE_ENTRY_OFF_CODE 4u          /* u32: request code (0 for open, close, cleanup) */
#define DOUBLE_ENTRY_OFF_INPUT_LENGTH 8u  /* u32 */
#define DOUBLE_ENTRY_OFF_OUTPUT_LENGTH 12u /* u32 */
#define DOUBLE_ENTRY_OFF_INPUT 16u        /* the first 16 input bytes, zero-filled */
#define DOUBLE_ENTRY_INPUT_KEPT 16u

#define DOUBLE_MAJOR_CREATE 0u
#define DOUBLE_MAJOR_CLOSE 2u
#define DOUBLE_MAJOR_DEVICE_CONTROL 14u
#define DOUBLE_MAJOR_CLEANUP 18u

/* State of one card. */
#define DOUBLE_STATE_SIZE 40u
#define DOUBLE_STATE_OFF_PENDING_WAITS 0u /* u32 */
#define DOUBLE_STATE_OFF_QUEUED_BLOCKS 4u /* u32 */
#define DOUBLE_STATE_OFF_BROKEN 8u        /* u32: 1 when the card stopped answering */
#define DOUBLE_STATE_OFF_SNIFFER 12u      /* u32: last SET_SNIFFER value */
#define DOUBLE_STATE_OFF_SNIFFER_SET 16u  /* u32: SET_SNIFFER requests served */
#define DOUBLE_STATE_OFF_EPOCH_SET 20u    /* u32: SET_EPOCH requests served */
#define DOUBLE_STATE_OFF_EPOCH 24u        /* u64: last SET_EPOCH value */
#define DOUBLE_STATE_OFF_OPENS 32u        /* u32 */
#define DOUBLE_STATE_OFF_CLOSES 36u       /* u32 */

#endif
