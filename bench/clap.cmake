# The CLAP benchmark needs our test plug-in and the scan helper, which exist
# only when the tests are built.
if(TARGET clap_fx_clap AND NOT TARGET clap_bench)
  krevlo_bench(clap_bench SOURCES clap_bench.cpp ${PROJECT_SOURCE_DIR}/tests/support/fake_plugin.cpp
    DEPS krevlo_hosting krevlo_dispatch)
  target_include_directories(clap_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(clap_bench PRIVATE
    KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>"
    KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
  add_dependencies(clap_bench clap_fx_clap krevlo-bridge-helper)
endif()
