# End to end: the plain sendto loop that bench/e2e sets beside the gateway.
add_executable(bench_sendto_loop ${CMAKE_CURRENT_LIST_DIR}/sendtoloop.cpp)
target_link_libraries(bench_sendto_loop PRIVATE busgate_stream Boost::system)
