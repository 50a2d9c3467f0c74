# Linux: the product on the simulated machine, the tests, the simulator command and the benchmarks.
set(QUILLON_SANITIZE "" CACHE STRING "Sanitizers for the whole build: 'address,undefined' or 'thread'")
if(QUILLON_SANITIZE)
  add_compile_options(-fsanitize=${QUILLON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUILLON_SANITIZE})
endif()

# GCC 12 reports -Wrestrict false positives inside libstdc++'s std::string at -O2 and above (GCC bug
# 105329); the warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()

# libFuzzer harnesses (tests/fuzz): clang only; each harness links libFuzzer's main. Such a build makes
# only the harnesses. The fuzzer's coverage and comparison tracing goes into the programs' own code
# (Service/: the libraries traced just before the harnesses are added) and nowhere else: the simulated machine
# and the harnesses keep the sanitizers but are not what is fuzzed, and tracing them cost a third of every
# input (their comparisons, and features for the fuzzer to sort that say nothing about the product).
option(QUILLON_FUZZ "Build the libFuzzer harnesses of tests/fuzz instead of the tests (clang)" OFF)
if(QUILLON_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUILLON_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
endif()

find_package(Threads REQUIRED)
# The virtual clock runs simulated threads as fibers (Boost.Context's context switch).
find_package(Boost REQUIRED COMPONENTS context)
# Function names in the stacks the machine prints (a simulated thread that never waits).
add_link_options(-rdynamic)

file(GLOB_RECURSE QUILLON_SIM_SOURCES CONFIGURE_DEPENDS platform/sim/src/*.cpp)
add_library(quillon_sim STATIC ${QUILLON_SIM_SOURCES})
target_link_libraries(quillon_sim PUBLIC Threads::Threads Boost::context)

add_library(quillon_common STATIC ${QUILLON_COMMON_SOURCES})
target_link_libraries(quillon_common PUBLIC quillon_sim)

add_library(quillon_service STATIC ${QUILLON_SERVICE_SOURCES})
target_link_libraries(quillon_service PUBLIC quillon_common)

if(QUILLON_TRAY_SOURCES)
  add_library(quillon_tray STATIC ${QUILLON_TRAY_SOURCES})
  target_link_libraries(quillon_tray PUBLIC quillon_common)
  set(QUILLON_TRAY_LIB quillon_tray)
endif()

# The diagnostics program (everything but its entry): the reader and the table quillon-sim shows too.
file(GLOB QUILLON_DIAG_SOURCES CONFIGURE_DEPENDS Service/QuillonDiag/*.cpp)
list(FILTER QUILLON_DIAG_SOURCES EXCLUDE REGEX "/main\\.cpp$")
add_library(quillon_diag STATIC ${QUILLON_DIAG_SOURCES})
target_link_libraries(quillon_diag PUBLIC quillon_common)

# Test-side wiring of the programs to the simulated machine (starting them as simulated processes).
file(GLOB QUILLON_HARNESS_SOURCES CONFIGURE_DEPENDS tests/harness/*.cpp)
add_library(quillon_harness STATIC ${QUILLON_HARNESS_SOURCES})
target_link_libraries(quillon_harness PUBLIC quillon_service ${QUILLON_TRAY_LIB} quillon_diag)

if(QUILLON_FUZZ)
  foreach(traced quillon_common quillon_service ${QUILLON_TRAY_LIB} quillon_diag)
    target_compile_options(${traced} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
  include(tests/fuzz/fuzz.cmake)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB_RECURSE QUILLON_TEST_SOURCES CONFIGURE_DEPENDS tests/sim/*.cpp tests/ks/*.cpp tests/service/*.cpp tests/tray/*.cpp
     tests/streaming/*.cpp tests/fuzz_regressions/*.cpp
     tests/scenario/*.cpp)
# quillon-sim's session (everything but its main) is a library, so a test can run a short session.
file(GLOB QUILLON_SIM_SESSION_SOURCES CONFIGURE_DEPENDS tools/quillon-sim/*.cpp)
list(FILTER QUILLON_SIM_SESSION_SOURCES EXCLUDE REGEX "/main\\.cpp$")
add_library(quillon_sim_session STATIC ${QUILLON_SIM_SESSION_SOURCES})
target_link_libraries(quillon_sim_session PUBLIC quillon_harness)

add_executable(quillon_tests ${QUILLON_TEST_SOURCES})
target_link_libraries(quillon_tests PRIVATE quillon_sim_session GTest::gtest GTest::gtest_main)
# GoogleTest, the standard library and the simulated machine's header are most of what every test file
# parses: compiled once (three builds of about a hundred test files each in the test script).
# GCC 12 sees out-of-bounds copies inside libstdc++'s std::string where there are none (-Warray-bounds,
# -Wstringop-overread, -Wstringop-overflow: GCC bugs 105329, 105651), more often with the header
# precompiled; the test programs do without those warnings there, the product keeps them.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  set(QUILLON_TEST_WARNINGS -Wno-array-bounds -Wno-stringop-overread -Wno-stringop-overflow)
endif()
target_compile_options(quillon_tests PRIVATE ${QUILLON_TEST_WARNINGS})
target_precompile_headers(quillon_tests PRIVATE <gtest/gtest.h> <algorithm> <atomic> <cstdint> <cstring>
                          <functional> <map> <memory> <string> <vector>
                          "${CMAKE_SOURCE_DIR}/platform/sim/include/sim/machine.h")
gtest_discover_tests(quillon_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# Soak and fault-injection runs (tests/soak): their own program, run by the test script's soak stage,
# so the ordinary suite stays fast. Built only when asked for (ninja quillon_soak).
file(GLOB QUILLON_SOAK_SOURCES CONFIGURE_DEPENDS tests/soak/*.cpp)
if(QUILLON_SOAK_SOURCES)
  add_executable(quillon_soak EXCLUDE_FROM_ALL ${QUILLON_SOAK_SOURCES})
  target_link_libraries(quillon_soak PRIVATE quillon_harness GTest::gtest)
  target_compile_options(quillon_soak PRIVATE ${QUILLON_TEST_WARNINGS})
  target_precompile_headers(quillon_soak REUSE_FROM quillon_tests)
endif()

add_executable(quillon-sim tools/quillon-sim/main.cpp)
target_link_libraries(quillon-sim PRIVATE quillon_sim_session)
# The session tests interrupt the command itself (next to them in the build folder) with SIGINT.
add_dependencies(quillon_tests quillon-sim)

# The benchmarks measure the optimised build only; a sanitizer build does not make them.
find_package(benchmark QUIET)
file(GLOB QUILLON_BENCH_SOURCES CONFIGURE_DEPENDS bench/*.cpp)
if(benchmark_FOUND AND QUILLON_BENCH_SOURCES AND NOT QUILLON_SANITIZE)
  add_executable(quillon_bench ${QUILLON_BENCH_SOURCES})
  target_link_libraries(quillon_bench PRIVATE quillon_harness benchmark::benchmark)
endif()

# The conformance suite on the simulated machine: the same test bodies the Windows build runs under Wine.
file(GLOB QUILLON_CONFORMANCE_SOURCES CONFIGURE_DEPENDS tests/conformance/*.cpp)
if(QUILLON_CONFORMANCE_SOURCES)
  add_executable(quillon_conformance ${QUILLON_CONFORMANCE_SOURCES} tests/conformance/runner/sim_fixture.cpp
                 tests/conformance/runner/service_program.cpp)
  target_link_libraries(quillon_conformance PRIVATE quillon_sim GTest::gtest GTest::gtest_main)
  target_compile_options(quillon_conformance PRIVATE ${QUILLON_TEST_WARNINGS})
  target_precompile_headers(quillon_conformance REUSE_FROM quillon_tests)
  gtest_discover_tests(quillon_conformance TEST_PREFIX "conformance." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
