# Record path: queue throughput with two producers, sender throughput against a plain send loop.
add_executable(bench_queue ${CMAKE_CURRENT_LIST_DIR}/bench_queue.cpp)
target_link_libraries(bench_queue PRIVATE busgate_queue busgate_testsupport benchmark::benchmark_main)
add_executable(bench_udp ${CMAKE_CURRENT_LIST_DIR}/bench_udp.cpp)
target_link_libraries(bench_udp PRIVATE busgate_udp busgate_testsupport benchmark::benchmark_main)
