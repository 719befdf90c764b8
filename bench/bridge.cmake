krevlo_bench(bridge_bench SOURCES bridge_bench.cpp ${PROJECT_SOURCE_DIR}/tests/support/fake_host.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/fake_plugin.cpp DEPS krevlo_bridge)
target_include_directories(bridge_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
