add_library(bench_startedcard STATIC ${CMAKE_CURRENT_LIST_DIR}/startedcard.cpp)
target_link_libraries(bench_startedcard PUBLIC busgate_sim busgate_driver)
add_executable(bench_sim ${CMAKE_CURRENT_LIST_DIR}/bench_sim.cpp)
target_link_libraries(bench_sim PRIVATE bench_startedcard benchmark::benchmark)
# The card's own share of the end-to-end figures (bench/e2e).
add_executable(bench_sim_reader ${CMAKE_CURRENT_LIST_DIR}/simreader.cpp)
target_link_libraries(bench_sim_reader PRIVATE bench_startedcard)
