/* Compiled for a 32-bit target only: every documented offset and size of the public records. */
#include <stddef.h>

#include "busrec.h"

#define AT(type, field, offset) _Static_assert(offsetof(type, field) == (offset), #type "." #field)
#define SIZE(type, size) _Static_assert(sizeof(type) == (size), "sizeof " #type)

_Static_assert(sizeof(void *) == 4, "a 32-bit target");

SIZE(busrec_version, 8);
AT(busrec_version, release, 4);

SIZE(device_infos, 132);
AT(device_infos, sn, 4);
AT(device_infos, vid, 8);
AT(device_infos, did, 10);
AT(device_infos, ssvid, 12);
AT(device_infos, ssdid, 14);
AT(device_infos, bar_cnt, 16);
AT(device_infos, bar_bsz, 20);
AT(device_infos, bar_base, 68);
AT(device_infos, irq_number, 116);
AT(device_infos, drv_version, 120);
AT(device_infos, info_ext1, 124);
AT(device_infos, info_ext2, 128);

SIZE(busrec_device, 160);
AT(busrec_device, bound, 132);
AT(busrec_device, handle, 136);
AT(busrec_device, irq_thread, 140);
AT(busrec_device, irq_running, 144);
AT(busrec_device, diag_thread, 148);
AT(busrec_device, diag_running, 152);
AT(busrec_device, session, 156);

SIZE(busrec_sess, 8);

SIZE(busrec_sess_cfg, 30);
AT(busrec_sess_cfg, sync_id, 0);
AT(busrec_sess_cfg, device, 2);
AT(busrec_sess_cfg, user1, 6);
AT(busrec_sess_cfg, user2, 10);
AT(busrec_sess_cfg, data_handler, 14);
AT(busrec_sess_cfg, diag_handler, 18);
AT(busrec_sess_cfg, error_handler, 22);
AT(busrec_sess_cfg, reset_handler, 26);

SIZE(busrec_sess_infos, 50);
AT(busrec_sess_infos, sn, 30);
AT(busrec_sess_infos, drv_version, 34);
AT(busrec_sess_infos, info_ext1, 38);
AT(busrec_sess_infos, version, 42);
AT(busrec_sess_infos, release, 46);

SIZE(busrec_event, 54);
AT(busrec_event, evt_timestamp, 8);
AT(busrec_event, time_a, 16);
AT(busrec_event, time_b, 20);
AT(busrec_event, error, 24);
AT(busrec_event, frame_length, 25);
AT(busrec_event, frame, 27);
AT(busrec_event, control, 31);
AT(busrec_event, identifier, 32);
AT(busrec_event, fcs, 34);
AT(busrec_event, frame_class, 36);
AT(busrec_event, class3_b4_6, 40);
AT(busrec_event, word44.class3_b1_3, 44);
AT(busrec_event, word44.response.pdu_type, 47);
AT(busrec_event, data_length, 48);
AT(busrec_event, data, 50);

SIZE(busrec_station, 556);
AT(busrec_station, answer_time, 4);
AT(busrec_station, missing_time, 12);
AT(busrec_station, absent_changes, 20);
AT(busrec_station, presence_high, 24);
AT(busrec_station, presence_low, 28);
AT(busrec_station, text_80, 32);
AT(busrec_station, text_81, 160);
AT(busrec_station, byte_82, 288);
AT(busrec_station, text_83, 289);
AT(busrec_station, byte_84, 417);
AT(busrec_station, text_8a, 418);
AT(busrec_station, values, 546);

SIZE(busrec_cycle, 4008);
SIZE(busrec_report, 343038);
AT(busrec_report, fcs_mode, 2);
AT(busrec_report, period_code, 3);
AT(busrec_report, start_time, 4);
AT(busrec_report, stop_time, 12);
AT(busrec_report, elapsed, 20);
AT(busrec_report, response_time, 28);
AT(busrec_report, turnaround_time, 32);
AT(busrec_report, correct_events, 36);
AT(busrec_report, control_counts, 44);
AT(busrec_report, sync_frames, 204);
AT(busrec_report, error_events, 212);
AT(busrec_report, status_bits, 220);
AT(busrec_report, unknown_control, 252);
AT(busrec_report, fcs_failed, 260);
AT(busrec_report, wrong_pdu_type, 268);
AT(busrec_report, wrong_length, 276);
AT(busrec_report, lost_frames, 284);
AT(busrec_report, stations, 292);
AT(busrec_report, nm_byte3, 142628);
AT(busrec_report, nm_byte2, 142629);
AT(busrec_report, cycle_count, 142630);
AT(busrec_report, cycles, 142634);
AT(busrec_report, period, 343034);
