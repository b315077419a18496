# Timeline paint cost (run by hand on a Release build; sets QT_QPA_PLATFORM=offscreen itself).
find_package(Qt6 REQUIRED COMPONENTS Widgets)
corvel_add_benchmark(corvel_editor_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_bench.cpp
  DEPS corvel_app corvel_editor Qt6::Widgets)
target_include_directories(corvel_editor_bench PRIVATE "${PROJECT_SOURCE_DIR}/tests")
