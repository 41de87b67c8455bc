#include "gateway/udp/udpstats.h"

UDPStats::UDPStats()
    : last_start_date(boost::posix_time::microsec_clock::local_time()),
      last_stop_date(last_start_date),
      init_date(last_start_date),
      act_duration(0, 0, 0, 0),
      inact_duration(0, 0, 0, 0),
      total_act_duration(0, 0, 0, 0),
      total_inact_duration(0, 0, 0, 0) {}
