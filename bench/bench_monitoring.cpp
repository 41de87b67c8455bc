// The lifesign thread builds a record twice a second and the dashboard draws a screen as
// often as once a millisecond: both must stay far below their periods.
#include <sstream>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "gateway/monitoring/monitoring.h"

static void BM_LifesignBuildAndEncode(benchmark::State& state) {
    Monitoring::Snapshot stats;
    stats.fip_stats.buf_total = 52428800;
    const auto created = boost::posix_time::microsec_clock::local_time();
    uint32_t counter = 0;
    for (auto _ : state) {
        std::vector<char> bytes = Monitoring::make_lifesign(stats, ++counter, created).encode();
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_LifesignBuildAndEncode);

static void BM_DashboardScreen(benchmark::State& state) {
    Monitoring::Snapshot stats;
    stats.udp_stats.ip = "127.0.0.1";
    std::ostringstream out;
    for (auto _ : state) {
        out.str("");
        Monitoring::print_screen(out, stats, 1, 500);
        benchmark::DoNotOptimize(out.tellp());
    }
}
BENCHMARK(BM_DashboardScreen);

BENCHMARK_MAIN();
