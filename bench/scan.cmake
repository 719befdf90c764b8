krevlo_bench(scan_bench SOURCES scan_bench.cpp DEPS krevlo_hosting)
if(TARGET krevlo_test_plugins)
  target_compile_definitions(scan_bench PRIVATE
    KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>" KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
  add_dependencies(scan_bench krevlo-bridge-helper krevlo_test_plugins)
endif()
