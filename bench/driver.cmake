# Frame check, block walk and datagram packing: the per-event work that the record path is made of.
if(NOT TARGET busgate_testsupport)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/testsupport)
endif()
add_executable(bench_driver ${CMAKE_CURRENT_LIST_DIR}/bench_driver.cpp)
target_link_libraries(bench_driver PRIVATE busgate_driver busgate_udp busgate_testsupport benchmark::benchmark_main)
