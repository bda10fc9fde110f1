# Helpers that give every target of the project the same settings.
#   kyv_library(name SOURCES ... [DEPS ...])      static library, include root is src/
#   kyv_test(name SOURCES ... [DEPS ...])         GoogleTest executable registered with CTest
#   kyv_fuzzer(name SOURCES ... [DEPS ...] [CORPUS dir...])
#                                                 libFuzzer target (fuzz preset); in other builds the
#                                                 same source is linked with a replay driver and run by
#                                                 CTest over its seed corpus, so it never rots
#   kyv_bench(name SOURCES ... [DEPS ...])        benchmark executable (KYV_BENCH only)

function(kyv_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      # GCC 12 reports impossible overlaps inside std::string assignments (its bug 105329).
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
endfunction()

function(kyv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  kyv_warnings(${name})
endfunction()

function(kyv_test name)
  if(NOT KYV_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kyv_testsupport kyv_gtest_main)
  kyv_warnings(${name})
  if(CMAKE_CROSSCOMPILING)
    # Under Wine the console writes CR LF, which CTest's test listing cannot parse: one CTest
    # test per binary, shown as skipped (status 77) when a case in it skipped and none failed.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT WINEDEBUG=-all TIMEOUT 600 SKIP_RETURN_CODE 77)
  else()
    # One CTest test per test case, so a case that skips (an optional producer is missing) shows
    # as skipped on its own instead of hiding inside a passing binary.
    gtest_discover_tests(${name}
      TEST_PREFIX "${name}."
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
  endif()
endfunction()

function(kyv_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;CORPUS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  kyv_warnings(${name})
  if(KYV_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE kyv_fuzz_replay)
    if(KYV_TESTS)
      add_test(NAME ${name}_replay COMMAND ${name} ${ARG_CORPUS})
      set_tests_properties(${name}_replay PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all")
    endif()
  endif()
  set_property(TARGET ${name} PROPERTY KYV_CORPUS "${ARG_CORPUS}")
  set_property(GLOBAL APPEND PROPERTY KYV_FUZZERS ${name})
endfunction()

function(kyv_bench name)
  if(NOT KYV_BENCH)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  # The helpers the benchmarks share (reading inputs, timing, the libarchive peer).
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench/support)
  kyv_warnings(${name})
endfunction()

# The usual shape of a subsystem folder: every *.cpp but the tests makes the library kyv_<name>;
# every *_test.cpp makes the test executable <name>_tests. New files need no edit here.
# kyv_subsystem(name [DEPS ...] [TEST_DEPS ...] [OWN_BINARY_TESTS file_test.cpp ...])
#   One library of the folder's sources and one test binary of its *_test.cpp files; a test that
#   changes the whole process (replaces the global allocator, say) gets a binary of its own,
#   named after its file, so that it cannot change what the other tests see.
function(kyv_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS;OWN_BINARY_TESTS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  if(sources)
    kyv_library(kyv_${name} SOURCES ${sources} DEPS ${ARG_DEPS})
  else()
    add_library(kyv_${name} INTERFACE)
    target_include_directories(kyv_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(kyv_${name} INTERFACE ${ARG_DEPS})
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(own IN LISTS ARG_OWN_BINARY_TESTS)
    list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${own})
    get_filename_component(stem ${own} NAME_WE)
    kyv_test(${name}_${stem} SOURCES ${own} DEPS kyv_${name} ${ARG_TEST_DEPS})
  endforeach()
  if(tests)
    kyv_test(${name}_tests SOURCES ${tests} DEPS kyv_${name} ${ARG_TEST_DEPS})
  endif()
endfunction()
