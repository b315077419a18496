corvel_add_benchmark(corvel_voduvetools_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/voduvetools/keymap_bench.cpp
  DEPS corvel_voduvetools)
