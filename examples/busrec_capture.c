/*
 * busrec_capture: lists the Linkscope cards, opens the first one, captures for a while,
 * prints the first events and then the station table and the bus cycle.
 *
 *     busrec_capture [seconds]
 */
#define _POSIX_C_SOURCE 199309L /* nanosleep, also under a strict -std=c99 */

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <busrec.h>

#define EVENTS_PRINTED 20

static volatile unsigned long events_seen;
static volatile int session_failed; /* set by the error handler: the card died */

static void on_reset(busrec_sess *sess) { (void)sess; }

/* Runs on the library's interrupt thread, once, when the card stops answering. */
static void on_error(busrec_sess *sess, int code) {
    (void)sess;
    fprintf(stderr, "session error %d: %s\n", code, busrec_strerror(code));
    session_failed = 1;
}

/* Runs on the library's interrupt thread: keep it short. */
static void on_data(busrec_sess *sess, const busrec_event *ev) {
    (void)sess;
    if (events_seen++ >= EVENTS_PRINTED) return;
    printf("event %llu t=%llu ctrl=0x%02X id=0x%04X class=%u len=%u error=%u\n",
           (unsigned long long)ev->evt_index, (unsigned long long)ev->evt_timestamp, ev->control,
           ev->identifier, (unsigned)ev->frame_class, (unsigned)ev->frame_length, (unsigned)ev->error);
}

static int fail(const char *what) {
    int code = busrec_error_get();
    fprintf(stderr, "%s: %s (%d)\n", what, busrec_strerror(code), code);
    return 1;
}

/* Sleeps for `seconds`, in steps of 0.1 s, or until the card died. */
static void capture_for(double seconds) {
    struct timespec step = {0, 100000000L};
    for (; seconds > 0 && !session_failed; seconds -= 0.1) nanosleep(&step, NULL);
}

static void print_stations(const busrec_report *r) {
    int s, absent = 0, first_absent = -1;
    printf("station changes vendor / product / version / name: P Q R S T\n");
    for (s = 0; s < BUSREC_STATION_COUNT; ++s) {
        const busrec_station *st = &r->stations[s];
        if (!st->present) {
            if (st->missing_time && first_absent < 0) first_absent = s;
            absent += st->missing_time != 0;
            continue;
        }
        printf("%3d %u '%s' / '%s' / '%s' / '%s': %u %u %u %u %u\n", s, (unsigned)st->absent_changes, st->text_80,
               st->text_81, st->text_83, st->text_8a, st->values[0], st->values[1], st->values[2], st->values[3],
               st->values[4]);
    }
    if (absent) printf("absent stations: %d (first %d)\n", absent, first_absent);
}

static void print_cycle(const busrec_report *r) {
    unsigned k;
    if (r->cycle_count == 0) {
        /* The search sees the last 49 recorded cycles: a bus whose traffic repeats only after
         * more than 24 of them (many stations visited in turn by the aperiodic window), or a
         * card reporting period code 0 or 7, or too short a capture, gives no result. */
        printf("bus cycle: none found (the traffic did not repeat within 24 recorded cycles, "
               "or the capture was too short)\n");
        return;
    }
    printf("bus cycle: %u cycles, period %u us\n", (unsigned)r->cycle_count, (unsigned)r->period);
    for (k = 0; k < r->cycle_count && k < BUSREC_CYCLE_COUNT; ++k) {
        const busrec_cycle *c = &r->cycles[k];
        if (c->type == BUSREC_CYCLE_PERIODIC || c->type == BUSREC_CYCLE_MESSAGE)
            printf("  cycle %u type %u: %u identifiers, first 0x%04X\n", k, (unsigned)c->type,
                   (unsigned)c->count_or_time, (unsigned)c->identifiers[0]);
        else
            printf("  cycle %u type %u: at +%u us\n", k, (unsigned)c->type, (unsigned)c->count_or_time);
    }
}

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    device_infos cards[BUSREC_DEVICE_LIST_SIZE];
    int count = 0, i, status = 0;
    busrec_device *dev;
    busrec_sess_cfg cfg = {0};
    busrec_sess *sess;
    busrec_report *report;
    const busrec_version *v = busrec_version_get();

    busrec_init();
    printf("libbusrec %u.%u (release 0x%08X)\n", (unsigned)(v->version >> 16), (unsigned)(v->version & 0xFFFF),
           (unsigned)v->release);
    if (busrec_device_list_get(cards, &count) != 0) return fail("listing the cards");
    printf("%d card(s)\n", count);
    for (i = 0; i < count; ++i)
        printf("  card %d: serial 0x%08X, %04X:%04X, driver 0x%08X\n", i + 1, (unsigned)cards[i].sn, cards[i].vid,
               cards[i].did, (unsigned)cards[i].drv_version);
    if (count == 0) return 1;

    /* The listing is ordered by device number: the first number that opens is the first card. */
    dev = NULL;
    for (i = 1; i <= BUSREC_DEVICE_LIST_SIZE && !dev; ++i) dev = busrec_device_open((uint8_t)i);
    if (!dev) return fail("opening the card");
    cfg.device = dev;
    cfg.data_handler = on_data;
    cfg.error_handler = on_error;
    cfg.reset_handler = on_reset;
    sess = busrec_sess_init(&cfg);
    if (!sess) {
        status = fail("creating the session");
        busrec_device_close(dev);
        return status;
    }
    if (busrec_sess_start(sess) != 0) status = fail("starting the session");
    if (status == 0) capture_for(seconds);
    if (busrec_sess_stop(sess) != 0) status = fail("stopping the session");

    /* Events the card delivered before the stop are still being analysed: the report's
     * counters may run a little ahead of events_seen. */
    report = malloc(sizeof *report);
    if (report && busrec_sess_report_get(sess, report) == 0) {
        printf("%lu events: %llu correct, %llu errors, %llu lost, elapsed %llu us\n", events_seen,
               (unsigned long long)report->correct_events, (unsigned long long)report->error_events,
               (unsigned long long)report->lost_frames, (unsigned long long)report->elapsed);
        print_stations(report);
        print_cycle(report);
    }
    free(report);
    /* Freed whatever the result, unless it was refused (EDEADLK, EINVAL, 258, 260): never
     * call it twice after an EFAULT. */
    if (busrec_sess_exit(sess) != 0) status = fail("ending the session");
    if (session_failed) status = 1;
    busrec_device_close(dev);
    busrec_exit();
    return status;
}
