# Shared compile settings for every target of the project.

add_library(corvel_options INTERFACE)
target_compile_options(corvel_options INTERFACE -Wall -Wextra)
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

# corvel_add_test(<name> [OWN_MAIN] SOURCES ... [DEPS ...] [LABELS ...] [RESOURCE_LOCK ...] [COST <n>])
# One GoogleTest binary, registered with CTest as one test that runs all of its cases in one
# process; a failure prints the binary's whole output (CTEST_OUTPUT_ON_FAILURE), the failed
# cases listed at its end. OWN_MAIN: the sources bring their own main() (the widget tests
# create their application object there). COST: the binary's usual run time in seconds,
# so that CTest starts the longest runs first.
function(corvel_add_test name)
  cmake_parse_arguments(ARG "OWN_MAIN" "COST" "SOURCES;DEPS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvel_options corvel_test_options GTest::gtest ${ARG_DEPS})
  if(NOT ARG_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  add_test(NAME ${name} COMMAND ${name})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(ARG_COST)
    set_tests_properties(${name} PROPERTIES COST "${ARG_COST}")
  endif()
endfunction()
