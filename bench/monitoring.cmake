# Cost of one lifesign record and of one dashboard screen.
add_executable(bench_monitoring ${CMAKE_CURRENT_LIST_DIR}/bench_monitoring.cpp)
target_link_libraries(bench_monitoring PRIVATE busgate_monitoring benchmark::benchmark)
