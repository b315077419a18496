# Audio engine benchmarks (run by hand on a Release build).
corvel_add_benchmark(corvel_audio_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp
  DEPS corvel_audio corvel_analysis corvel_test_signals)
target_include_directories(corvel_audio_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")

# Analysis accuracy on a synthesised corpus with exact truth and on a corpus of written music
# rendered from Debian packages: a plain program, run by hand. Its soundfont renderer and the
# written music need fluidsynth at build time (tests/support/CMakeLists.txt).
add_executable(corvel_analysis_accuracy_bench
  ${CMAKE_CURRENT_LIST_DIR}/analysis_accuracy_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/music_corpus.cpp)
target_link_libraries(corvel_analysis_accuracy_bench PRIVATE corvel_options corvel_audio corvel_analysis
  corvel_test_signals corvel_written_music)
target_include_directories(corvel_analysis_accuracy_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")

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
