add_executable(bench_busdump ${CMAKE_CURRENT_LIST_DIR}/bench_busdump.cpp)
target_link_libraries(bench_busdump PRIVATE busdump_lib benchmark::benchmark_main)
# busdump's capacity: a capture played as N gateways at the bus's full rate (bench/capacity).
add_executable(bench_gateway_fleet ${CMAKE_CURRENT_LIST_DIR}/gatewayfleet.cpp)
target_link_libraries(bench_gateway_fleet PRIVATE busgate_stream busgate_driver Boost::system)
