krevlo_bench(engine_bench SOURCES engine_bench.cpp ${PROJECT_SOURCE_DIR}/tests/support/fake_plugin.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/counting_new.cpp DEPS krevlo_engine)
target_include_directories(engine_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
