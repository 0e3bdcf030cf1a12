# Helpers for a library's tests, benchmarks and fuzz targets.

# x_add_tests(<name> SOURCES <file>... [LIBS <target>...])
# A GoogleTest program whose tests ctest discovers. Suites named *Concurrency are the ones the
# tsan preset runs.
function(x_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
  target_compile_options(${name} PRIVATE ${XLIBS_WARNINGS})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

# x_add_benchmark(<name> SOURCES <file>... [LIBS <target>...])
# A Google Benchmark program; built in the release preset, never run by ctest.
function(x_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark_main)
  target_compile_options(${name} PRIVATE ${XLIBS_WARNINGS})
endfunction()

# x_add_fuzzer(NAME <name> SOURCES <file>... SEEDS <dir> SECONDS <n> [LIBS <target>...]
#              [DEFINITIONS <def>...])
# A libFuzzer target. The build records it with its seed corpus and its time in CI in
# <build>/fuzz_targets.txt, which scripts/fuzz.sh runs.
function(x_add_fuzzer)
  cmake_parse_arguments(ARG "" "NAME;SEEDS;SECONDS" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS})
  target_compile_definitions(${ARG_NAME} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer)
  get_filename_component(seeds ${ARG_SEEDS} ABSOLUTE)
  set_property(GLOBAL APPEND PROPERTY X_FUZZ_TARGETS
    "$<TARGET_FILE:${ARG_NAME}> ${ARG_SECONDS} ${seeds}")
endfunction()

# Writes the record of every x_add_fuzzer target; called once at the end of the top level.
function(x_write_fuzz_targets)
  get_property(targets GLOBAL PROPERTY X_FUZZ_TARGETS)
  string(JOIN "\n" text ${targets})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz_targets.txt CONTENT "${text}\n")
endfunction()
