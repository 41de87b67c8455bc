/* Request codes and buffer sizes of the card driver's protocol as plain C macros, so that C code
 * that cannot use protocol.h (kernel code built against the DDK headers) shares the same values.
 * protocol.h defines its typed constants from these; nothing else repeats the numbers. */
#ifndef BUSGATE_COMMON_DRIVER_REQUESTCODES_H
#define BUSGATE_COMMON_DRIVER_REQUESTCODES_H

/* Device type 0x8C0F, METHOD_BUFFERED. */
#define LINKSCOPE_CODE_GET_INFOS 0x8C0F6004u
#define LINKSCOPE_CODE_SET_SNIFFER 0x8C0FA008u
#define LINKSCOPE_CODE_SET_EPOCH 0x8C0FA00Cu
#define LINKSCOPE_CODE_RESET 0x8C0F2010u
#define LINKSCOPE_CODE_WAIT_EVENTS 0x8C0F6014u
#define LINKSCOPE_CODE_RELEASE_WAIT 0x8C0F2018u

#define LINKSCOPE_SIZE_SNIFFER_INPUT 4u
#define LINKSCOPE_SIZE_EPOCH_INPUT 8u
#define LINKSCOPE_SIZE_DEVICE_INFOS 132u
#define LINKSCOPE_SIZE_EVENT_BLOCK 32780u

#define LINKSCOPE_MAX_DEVICE_NUMBER 255

#endif
