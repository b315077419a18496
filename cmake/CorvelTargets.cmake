# Shared compile settings for every target of the project.

add_library(corvel_options INTERFACE)
target_compile_options(corvel_options INTERFACE -Wall -Wextra -Wshadow)
# GCC 12 at -O3 reports false -Wrestrict overlaps inside std::string concatenation
# (fixed in GCC 13); the warning says nothing about our code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(corvel_options INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()
if(CORVEL_WARNINGS_AS_ERRORS)
  target_compile_options(corvel_options INTERFACE -Werror)
endif()
if(CORVEL_SANITIZE)
  target_compile_options(corvel_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(corvel_options INTERFACE -fsanitize=address,undefined)
endif()
# The fuzz build instruments every library for coverage and checks it with the sanitizers;
# only the fuzz targets link libFuzzer itself (fuzz/CMakeLists.txt).
if(CORVEL_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVEL_BUILD_FUZZ needs clang (tools/fuzz.sh configures it)")
  endif()
  target_compile_options(corvel_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(corvel_options INTERFACE -fsanitize=address,undefined)
endif()

# corvel_add_library(<name> SOURCES ... [DEPS ...])
# A static library for one subsystem, with src/ as its include root.
function(corvel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC corvel_options ${ARG_DEPS})
endfunction()

# Test code compiles for a quick build: no optimisation and line tables only, enough for
# failure and sanitizer reports. The code under test keeps its build type's flags.
add_library(corvel_test_options INTERFACE)
target_compile_options(corvel_test_options INTERFACE -O0 -g1)

# corvel_add_test(<name> [OWN_MAIN] SOURCES ... [DEPS ...] [LABELS ...] [RESOURCE_LOCK ...]
#                 [COST <seconds>] [SHARDS <n>])
# One GoogleTest binary, registered with CTest as one test that runs all of its cases in one
# process; a failure prints the binary's whole output (CTEST_OUTPUT_ON_FAILURE), the failed
# cases listed at its end. OWN_MAIN: the sources bring their own main() (the widget tests
# create their application object there). COST: the binary's usual run time, so that CTest
# starts the longest runs first. SHARDS: a long binary runs as that many CTest tests
# (<name>.1 ...), each process taking every n-th case.
function(corvel_add_test name)
  cmake_parse_arguments(ARG "OWN_MAIN" "COST;SHARDS" "SOURCES;DEPS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvel_options corvel_test_options GTest::gtest ${ARG_DEPS})
  if(NOT ARG_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")

  set(props)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(NOT ARG_COST)
    set(ARG_COST 1)
  endif()
  if(NOT ARG_SHARDS OR ARG_SHARDS LESS 2)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES COST ${ARG_COST} ${props})
    return()
  endif()
  math(EXPR last "${ARG_SHARDS} - 1")
  foreach(index RANGE ${last})
    math(EXPR number "${index} + 1")
    add_test(NAME ${name}.${number} COMMAND ${name})
    set_tests_properties(${name}.${number} PROPERTIES COST ${ARG_COST} ${props}
      ENVIRONMENT "GTEST_TOTAL_SHARDS=${ARG_SHARDS};GTEST_SHARD_INDEX=${index}")
  endforeach()
endfunction()
