add_executable(bench_busdump ${CMAKE_CURRENT_LIST_DIR}/bench_busdump.cpp)
target_link_libraries(bench_busdump PRIVATE busdump_lib benchmark::benchmark_main)
