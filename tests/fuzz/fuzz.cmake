# One libFuzzer executable per tests/fuzz/fuzz_*.cpp, linked against the product, the simulated machine
# and the test harness (the programs as simulated processes).
file(GLOB QUILLON_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(source ${QUILLON_FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE quillon_harness)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endforeach()
