# The card benchmark drives the acquisition with the tests' scripted card.
if(NOT TARGET busgate_testsupport)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/bench/testsupport)
endif()
add_executable(bench_card ${CMAKE_CURRENT_SOURCE_DIR}/bench_card.cpp)
target_link_libraries(bench_card PRIVATE busgate_card busgate_testsupport benchmark::benchmark)
