# Audio engine benchmarks (run by hand on a Release build).
corvel_add_benchmark(corvel_audio_bench
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/audio/test_signals.cpp
  DEPS corvel_audio)
target_include_directories(corvel_audio_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")
