# The VST3 host and plug-in against our real, dlopen'ed test bundles, examined by
# the real helper, and the host-side VST3 objects. Counts allocations to check
# that processing makes none.
if(TARGET vst3_tests)
  return()
endif()
krevlo_test(vst3_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_host_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/vst3_plugin_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/vst3_support_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/vst3_rules_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/vst3_views_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/counting_new.cpp
  DEPS krevlo_hosting ${CMAKE_DL_LIBS}
  LABELS threaded
  TIMEOUT 120)
target_compile_definitions(vst3_tests PRIVATE
  KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>"
  KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
add_dependencies(vst3_tests krevlo-bridge-helper krevlo_test_plugins)
