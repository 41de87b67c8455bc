# Per-event analysis of libbusrec over blocks recorded from a simulated card.
add_executable(bench_busrec ${CMAKE_CURRENT_LIST_DIR}/bench_busrec.cpp)
target_link_libraries(bench_busrec PRIVATE busgate_busrec busgate_sim benchmark::benchmark)
