corvel_add_benchmark(corvel_core_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_grid_bench.cpp
  DEPS corvel_core)
