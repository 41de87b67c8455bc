/*
 * libbusrec: capture sessions on Linkscope FIP capture cards.
 *
 * Functions return 0 or a pointer on success and -1 or NULL on failure; the reason is left
 * in errno (standard codes, or BUSREC_E_* below) and explained by busrec_strerror.
 *
 * Threads and handlers. A session runs two threads of the library: the interrupt handler,
 * which reads the card and calls the data handler for every event, and the diagnostic task,
 * which calls the diagnostic handler at each diagnostic step. Handlers must return promptly:
 * while the data handler runs the card is not read (its buffer fills and frames are lost),
 * while the diagnostic handler runs no diagnostic step is taken. The reset handler runs on
 * the caller's thread, inside busrec_sess_init before it returns (before the session's threads
 * start) and again inside busrec_sess_exit (after they have ended). The error handler must be
 * given: it runs on the interrupt handler thread when the card dies (see Sessions below).
 *
 * From the data or diagnostic handler a host may call busrec_sess_report_get,
 * busrec_sess_stats_clear, busrec_sess_start and busrec_sess_stop on the handler's session
 * (no lock of the library is held during the call), and the library and device functions on
 * other devices. It may not end its own session: busrec_sess_exit from a handler of that
 * session fails with EDEADLK (<errno.h>: the calling thread is one of the threads the call
 * would wait for) and leaves the session untouched; end it from another thread. Nor may it
 * close the bound device: busrec_device_close fails with BUSREC_E_DEV_BOUND until the session
 * has ended. The reset handler must not call the session functions on its session.
 *
 * Every record below is packed. On a 32-bit target the records have their documented sizes
 * (busrec_device 160, busrec_sess_cfg 30, busrec_sess_infos 50, busrec_event 54 bytes);
 * on a 64-bit target the pointer and handle fields take 8 bytes and the later offsets move
 * accordingly. busrec_report (343038 bytes) is little-endian and the same everywhere.
 */
#ifndef BUSREC_H
#define BUSREC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ELF builds hide everything else; the DLL's exports are listed in its .def file. */
#if defined(BUSREC_BUILDING_LIBRARY) && defined(__GNUC__) && !defined(_WIN32)
#define BUSREC_API __attribute__((visibility("default")))
#else
#define BUSREC_API
#endif

/* The library's own error codes; lower values are errno codes of the C library. */
#define BUSREC_E_DEV_BOUND 256    /* the device is already bound to another session */
#define BUSREC_E_IRQ_STARTED 257
#define BUSREC_E_IRQ_STOPPED 258
#define BUSREC_E_DIAG_STARTED 259
#define BUSREC_E_DIAG_STOPPED 260
#define BUSREC_E_RUNNING 261
#define BUSREC_E_STOPPED 262
#define BUSREC_E_CONTEXT 263
#define BUSREC_E_HANDLERS 264     /* reset and error handlers are mandatory */
#define BUSREC_E_CARD_LOST 265    /* the card stopped answering: the session no longer captures */

/* Sizes of the fixed parts. */
#define BUSREC_DEVICE_LIST_SIZE 16
#define BUSREC_STATION_COUNT 256
#define BUSREC_STATION_TEXT_SIZE 128
#define BUSREC_STATION_VALUE_COUNT 5
#define BUSREC_CONTROL_COUNTER_COUNT 20
#define BUSREC_STATUS_COUNTER_COUNT 4
#define BUSREC_CYCLE_COUNT 50
#define BUSREC_CYCLE_IDENTIFIER_SLOTS 1000

/* Report states. */
#define BUSREC_STATE_START_FAILED 0
#define BUSREC_STATE_STOPPED 1
#define BUSREC_STATE_RUNNING 2
#define BUSREC_STATE_CARD_LOST 3  /* the card stopped answering (BUSREC_E_CARD_LOST) */

/* Error kinds of busrec_event.error. */
#define BUSREC_EVT_OK 0
#define BUSREC_EVT_STATUS_BIT0 1
#define BUSREC_EVT_STATUS_BIT1 2
#define BUSREC_EVT_STATUS_BIT2 3
#define BUSREC_EVT_STATUS_BIT3 4
#define BUSREC_EVT_UNKNOWN_CONTROL 5
#define BUSREC_EVT_FCS 6
#define BUSREC_EVT_PDU_TYPE 7
#define BUSREC_EVT_LENGTH 8

/* Frame classes of busrec_event.frame_class. */
#define BUSREC_CLASS_NONE 0
#define BUSREC_CLASS_RESPONSE 1
#define BUSREC_CLASS_2 2
#define BUSREC_CLASS_3 3

/* Cycle types of the sequence result: 1 and 2 list their identifiers, 3 and 4 give a time. */
#define BUSREC_CYCLE_PERIODIC 1
#define BUSREC_CYCLE_MESSAGE 2
#define BUSREC_CYCLE_VARIABLE 3
#define BUSREC_CYCLE_VARIABLE_MESSAGE 4

#pragma pack(push, 1)

typedef struct busrec_version {
    uint32_t version; /* 0x00010000: major 1, minor 0 */
    uint32_t release;
} busrec_version;

/* The card's device information record, 132 bytes. */
typedef struct device_infos {
    int32_t index;
    uint32_t sn;
    uint16_t vid;
    uint16_t did;
    uint16_t ssvid;
    uint16_t ssdid;
    int32_t bar_cnt;
    uint64_t bar_bsz[6];
    uint64_t bar_base[6];
    int32_t irq_number;
    uint32_t drv_version;
    uint32_t info_ext1;
    uint32_t info_ext2;
} device_infos;

/* An open card. Only `infos` is for the caller; the rest belongs to the library. */
typedef struct busrec_device {
    device_infos infos;
    int32_t bound;
    void *handle;
    void *irq_thread;
    int32_t irq_running;
    void *diag_thread;
    int32_t diag_running;
    void *session;
} busrec_device;

struct busrec_sess_ctx;
struct busrec_sess_infos;

typedef struct busrec_sess {
    struct busrec_sess_infos *infos;
    struct busrec_sess_ctx *context;
} busrec_sess;

/* One decoded bus event, valid only during the data handler call (native byte order). */
typedef struct busrec_event {
    uint64_t evt_index;
    uint64_t evt_timestamp;
    uint32_t time_a;        /* evt_time_a x 100 */
    uint32_t time_b;        /* evt_time_b x 100 */
    uint8_t error;          /* BUSREC_EVT_* */
    uint16_t frame_length;
    const uint8_t *frame;   /* control byte through FCS, inside the event block */
    uint8_t control;
    uint16_t identifier;
    uint16_t fcs;
    uint32_t frame_class;   /* BUSREC_CLASS_* */
    uint32_t class3_b4_6;   /* class 3: frame bytes 4 to 6 as a 24-bit value */
    /* Class 3 keeps frame bytes 1 to 3 as a 24-bit value here; a response (class 1) keeps
     * its PDU type in the top byte instead. The classes exclude each other. */
    union {
        uint32_t class3_b1_3;
        struct {
            uint8_t reserved[3];
            uint8_t pdu_type;
        } response;
    } word44;
    uint16_t data_length;   /* bytes at `data`, never beyond the frame's FCS */
    const uint8_t *data;
} busrec_event;

typedef struct busrec_station {
    uint32_t present;
    uint64_t answer_time;
    uint64_t missing_time;
    uint32_t absent_changes;
    uint32_t presence_high;
    uint32_t presence_low;
    char text_80[BUSREC_STATION_TEXT_SIZE]; /* NUL-terminated */
    char text_81[BUSREC_STATION_TEXT_SIZE];
    uint8_t byte_82;
    char text_83[BUSREC_STATION_TEXT_SIZE];
    uint8_t byte_84;
    char text_8a[BUSREC_STATION_TEXT_SIZE];
    uint16_t values[BUSREC_STATION_VALUE_COUNT]; /* tags 'P' to 'T' */
} busrec_station;

/* One cycle of the repeating bus cycle. */
typedef struct busrec_cycle {
    uint32_t type;          /* BUSREC_CYCLE_* */
    uint32_t count_or_time; /* types 1, 2: identifier count; 3, 4: microseconds from the run's start */
    uint32_t identifiers[BUSREC_CYCLE_IDENTIFIER_SLOTS];
} busrec_cycle;

typedef struct busrec_report {
    uint16_t state;         /* BUSREC_STATE_* */
    uint8_t fcs_mode;
    uint8_t period_code;
    uint64_t start_time;
    uint64_t stop_time;
    uint64_t elapsed;
    uint32_t response_time;
    uint32_t turnaround_time;
    uint64_t correct_events;
    uint64_t control_counts[BUSREC_CONTROL_COUNTER_COUNT]; /* 0x03 0x05 0x29 0x09 0x02 0x06 0x2A 0x0A
                                                              0x2E 0x0E 0x28 0x08 0x04 0x14 0x94 0x30
                                                              0xB0 0x10 0x90 0x40 */
    uint64_t sync_frames;
    uint64_t error_events;
    uint64_t status_bits[BUSREC_STATUS_COUNTER_COUNT];
    uint64_t unknown_control;
    uint64_t fcs_failed;
    uint64_t wrong_pdu_type;
    uint64_t wrong_length;
    uint64_t lost_frames;
    busrec_station stations[BUSREC_STATION_COUNT];
    uint8_t nm_byte3;       /* bytes 3 and 2 of the last valid 0x9003 variable */
    uint8_t nm_byte2;
    uint32_t cycle_count;
    busrec_cycle cycles[BUSREC_CYCLE_COUNT];
    uint32_t period;        /* microseconds, 0 when unknown */
} busrec_report;

#pragma pack(pop)

typedef void (*busrec_reset_handler)(busrec_sess *sess);
typedef void (*busrec_error_handler)(busrec_sess *sess, int code);
typedef void (*busrec_data_handler)(busrec_sess *sess, const busrec_event *event);
typedef void (*busrec_diag_handler)(busrec_sess *sess, const busrec_report *report);

#pragma pack(push, 1)

typedef struct busrec_sess_cfg {
    uint16_t sync_id;       /* identifier that starts a bus cycle; 0 means 0x9080 */
    busrec_device *device;
    uint32_t user1;
    uint32_t user2;
    busrec_data_handler data_handler;   /* optional */
    busrec_diag_handler diag_handler;   /* optional */
    busrec_error_handler error_handler; /* mandatory */
    busrec_reset_handler reset_handler; /* mandatory */
} busrec_sess_cfg;

typedef struct busrec_sess_infos {
    busrec_sess_cfg cfg;    /* as passed, sync_id unchanged */
    uint32_t sn;
    uint32_t drv_version;
    uint32_t info_ext1;
    uint32_t version;
    uint32_t release;
} busrec_sess_infos;

#pragma pack(pop)

/* Library. */
BUSREC_API int busrec_init(void);
BUSREC_API void busrec_exit(void);
BUSREC_API const busrec_version *busrec_version_get(void);
BUSREC_API int busrec_error_get(void);
BUSREC_API const char *busrec_strerror(int code);

/* Devices. busrec_device_list_get probes device numbers 1 to 16 and needs room for
 * BUSREC_DEVICE_LIST_SIZE (16) records at `out`, whatever the number of cards; a card open
 * elsewhere at that moment (a session, another process) is not listed.
 * busrec_device_open takes a device number from 1 to 255 (0 fails with EINVAL); numbers
 * above 16 can be opened although the listing does not show them.
 * busrec_device_close refuses a device still bound to a session (BUSREC_E_DEV_BOUND): end the
 * session first. busrec_device_reset makes the card count its frame indices from 1 again; a
 * session sees that as a restart of the count, not as lost frames. */
BUSREC_API int busrec_device_list_get(device_infos *out, int *count);
BUSREC_API busrec_device *busrec_device_open(uint8_t number);
BUSREC_API int busrec_device_close(busrec_device *dev);
BUSREC_API int busrec_device_reset(busrec_device *dev);
BUSREC_API int busrec_device_infos_get(const busrec_device *dev, device_infos *out);

/* Sessions.
 *
 * busrec_sess_init binds the device, calls the reset handler and starts the session's threads.
 * From then on every event is analysed into the report, but reaches the data handler only
 * while the session runs (from busrec_sess_start to busrec_sess_stop).
 *
 * busrec_sess_exit stops the session, calls the reset handler, unbinds the device and frees
 * the session. It leaves the session untouched, and may be called again, only when it fails
 * with EINVAL, EDEADLK, BUSREC_E_IRQ_STOPPED or BUSREC_E_DIAG_STOPPED. Any other result, 0 or
 * -1 with EFAULT (the card refused to switch its sniffer off), comes after the session has
 * been freed: `sess` is then invalid and must not be passed again. The device stays open.
 *
 * busrec_sess_start counts the session as running before it switches the sniffer on, so the
 * first event the card delivers already reaches the data handler; if the card refuses, the
 * call fails with EFAULT and the report stays cleared with state BUSREC_STATE_START_FAILED.
 * The diagnostic handler too is called only while the session runs.
 * A start clears the whole report: counters, head, station table, network values and cycle
 * result (the next diagnostic step publishes the cycle found so far again).
 *
 * busrec_sess_stop switches the sniffer off and marks the report stopped. Events the card
 * delivered before it are still analysed after it returns: the counters may grow for a moment,
 * and those events are not handed to the data handler.
 *
 * A card that stops answering ends the capture: after 1 s in which every wait for events
 * failed, the session asks the card nothing more, its report gets state BUSREC_STATE_CARD_LOST
 * (with the stop time and elapsed time when it was running), events no longer reach the data
 * handler, and the error handler is called once, on the interrupt handler thread, with
 * BUSREC_E_CARD_LOST. This happens whether or not the session was started. From then on
 * busrec_sess_start fails with BUSREC_E_CARD_LOST, busrec_sess_stop returns 0, and
 * busrec_sess_exit ends the session as usual and returns 0 (from the error handler it fails
 * with EDEADLK, as from any handler); close the device and open it again once the card is back.
 *
 * busrec_sess_report_get copies the whole report (343038 bytes) into `out`.
 * busrec_sess_stats_clear zeroes the counters only (correct events through lost frames); the
 * head, the station table, the network values and the cycle result stay.
 *
 * The diagnostic handler gets the session's copy of the report: one buffer of the library,
 * valid only during the call and overwritten at the next step; copy what must outlive it.
 *
 * Lost frames: a forward gap in the card's frame indices adds its size to lost_frames and to
 * error_events; an index that goes back or repeats (a card reset) adds nothing.
 *
 * The cycle result (cycle_count, cycles, period) can stay empty: diagnostic steps run only
 * while the card reports a period code from 1 to 6, and the search sees the last 49 recorded
 * cycles (identifier runs cut at the sync identifier and between periodic and message
 * traffic), so it finds the bus cycle only when the traffic repeats within 24 of them. A bus
 * whose aperiodic traffic visits more stations in turn than that publishes no cycle. A
 * cycle longer than 999 identifiers is recorded again from its first entry each 999, so it
 * lists only the identifiers since then (1200 identifiers list the last 201); its time and
 * the period stay right. */
BUSREC_API busrec_sess *busrec_sess_init(const busrec_sess_cfg *cfg);
BUSREC_API int busrec_sess_exit(busrec_sess *sess);
BUSREC_API int busrec_sess_start(busrec_sess *sess);
BUSREC_API int busrec_sess_stop(busrec_sess *sess);
BUSREC_API int busrec_sess_report_get(busrec_sess *sess, busrec_report *out);
BUSREC_API int busrec_sess_stats_clear(busrec_sess *sess);

#ifdef __cplusplus
}
#endif

#endif /* BUSREC_H */
