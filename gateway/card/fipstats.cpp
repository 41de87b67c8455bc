#include "gateway/card/fipstats.h"

#include <boost/date_time/posix_time/posix_time.hpp>

FIPStats::FIPStats()
    : last_start_date(boost::posix_time::microsec_clock::local_time()),
      last_stop_date(last_start_date),
      init_date(last_start_date),
      last_act_duration(boost::posix_time::time_duration(0, 0, 0, 0)),
      last_inact_duration(boost::posix_time::time_duration(0, 0, 0, 0)),
      total_act_duration(boost::posix_time::time_duration(0, 0, 0, 0)),
      total_inact_duration(boost::posix_time::time_duration(0, 0, 0, 0)) {}
