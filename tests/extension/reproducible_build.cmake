# Builds the extension from two copies of its sources, in two folders of different
# depth and name, and fails unless both libraries have the same SHA-256 and carry no
# path, build id, symbol table or debug information.
#
# cmake -DEXTENSION_SOURCE=<src/extension> -DWORK=<scratch folder> -DC_COMPILER=<cc>
#       -DBUILD_TYPE=<type> -DGENERATOR=<generator> [-DMAKE_PROGRAM=<program>] -P reproducible_build.cmake

foreach(required EXTENSION_SOURCE WORK C_COMPILER GENERATOR)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "${required} is not set")
  endif()
endforeach()
if(NOT BUILD_TYPE)
  set(BUILD_TYPE RelWithDebInfo)
endif()

file(REMOVE_RECURSE "${WORK}")
set(folders "${WORK}/a" "${WORK}/second-copy/of/the/extension/somewhere/deeper")
set(libraries)
foreach(folder IN LISTS folders)
  set(project "${folder}/project")
  file(COPY "${EXTENSION_SOURCE}/" DESTINATION "${project}/extension")
  file(WRITE "${project}/CMakeLists.txt" [=[
cmake_minimum_required(VERSION 3.25)
project(CuewardenStopAlone LANGUAGES C)
set(CORVEL_RESOURCES_DIR "${CMAKE_BINARY_DIR}/resources")
set(CORVEL_WARNINGS_AS_ERRORS ON)
add_subdirectory(extension)
]=])
  set(make_program)
  if(MAKE_PROGRAM)
    set(make_program "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${project}" -B "${folder}/build" -G "${GENERATOR}" ${make_program}
            "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring in ${folder} failed:\n${output}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${folder}/build"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "building in ${folder} failed:\n${output}")
  endif()
  file(GLOB library "${folder}/build/extension/voduve_CuewardenStop.*")
  list(LENGTH library found)
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "expected one library in ${folder}/build/extension, found: ${library}")
  endif()
  list(APPEND libraries "${library}")
endforeach()

set(digests)
foreach(library IN LISTS libraries)
  file(SHA256 "${library}" digest)
  message(STATUS "${digest}  ${library}")
  list(APPEND digests "${digest}")
  # What a reproducible, stripped library must not carry.
  foreach(text "${WORK}" "/project/extension" ".symtab" ".debug_" ".note.gnu.build-id")
    string(REGEX REPLACE "([][+.*?()^$|\\])" "\\\\\\1" pattern "${text}")
    file(STRINGS "${library}" hits LIMIT_COUNT 1 REGEX "${pattern}")
    if(hits)
      message(FATAL_ERROR "${library} carries \"${text}\": ${hits}")
    endif()
  endforeach()
endforeach()
list(GET digests 0 first)
list(GET digests 1 second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "the two builds differ:\n  ${first}\n  ${second}")
endif()
file(REMOVE_RECURSE "${WORK}")
