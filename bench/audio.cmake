# Audio engine benchmarks (run by hand on a Release build).
corvel_add_benchmark(corvel_audio_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp
  DEPS corvel_audio corvel_analysis corvel_test_signals)
target_include_directories(corvel_audio_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")

# Analysis accuracy on a synthesised corpus with exact truth: a plain program, run by hand.
add_executable(corvel_analysis_accuracy_bench
  ${CMAKE_CURRENT_LIST_DIR}/analysis_accuracy_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/music_corpus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gm_synth.cpp)
target_link_libraries(corvel_analysis_accuracy_bench PRIVATE corvel_options corvel_audio corvel_analysis corvel_test_signals)
target_include_directories(corvel_analysis_accuracy_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")
# Its second renderer (--renderer gm) plays the corpus on a General MIDI soundfont, when
# fluidsynth is there (apt-get install libfluidsynth-dev fluid-soundfont-gm).
option(CORVEL_BENCH_GM "Give the accuracy benchmark its soundfont renderer when fluidsynth is found" ON)
set(corvel_bench_gm 0)
if(CORVEL_BENCH_GM)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(CORVEL_FLUIDSYNTH QUIET IMPORTED_TARGET fluidsynth)
  endif()
  if(CORVEL_FLUIDSYNTH_FOUND)
    set(corvel_bench_gm 1)
    target_link_libraries(corvel_analysis_accuracy_bench PRIVATE PkgConfig::CORVEL_FLUIDSYNTH)
  endif()
endif()
target_compile_definitions(corvel_analysis_accuracy_bench PRIVATE CORVEL_BENCH_GM=${corvel_bench_gm})
if(corvel_bench_gm)
  message(STATUS "Accuracy benchmark: soundfont renderer on (fluidsynth ${CORVEL_FLUIDSYNTH_VERSION})")
else()
  message(STATUS "Accuracy benchmark: soundfont renderer off (no fluidsynth)")
endif()

# Whole-analysis speed and memory: a 4-minute song on one and on all cores, a 3-hour show.
corvel_add_benchmark(corvel_analysis_speed_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/analysis_speed_bench.cpp
  DEPS corvel_audio corvel_analysis corvel_test_signals)
target_include_directories(corvel_analysis_speed_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")

# What starting the preview costs the main thread (10-minute M4A and MP3 made at run time).
corvel_add_benchmark(corvel_preview_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/preview_bench.cpp
  DEPS corvel_audio corvel_analysis corvel_test_signals)
