# The VST3 benchmark needs our test bundle and the scan helper, which exist only
# when the tests are built.
if(TARGET vst3_fx_vst3 AND NOT TARGET vst3_bench)
  krevlo_bench(vst3_bench SOURCES vst3_bench.cpp ${PROJECT_SOURCE_DIR}/tests/support/fake_plugin.cpp
    DEPS krevlo_hosting)
  target_include_directories(vst3_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(vst3_bench PRIVATE
    KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>"
    KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
  add_dependencies(vst3_bench vst3_fx_vst3 krevlo-bridge-helper)
endif()
