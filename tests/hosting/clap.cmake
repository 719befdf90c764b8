# The CLAP host, plug-in and host callbacks against our real, dlopen'ed test
# plug-ins, examined by the real helper.
if(TARGET clap_tests)
  return()
endif()
krevlo_test(clap_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/clap_host_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/clap_plugin_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/clap_host_callbacks_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/clap_rules_test.cpp
  DEPS krevlo_hosting krevlo_engine krevlo_dispatch ${CMAKE_DL_LIBS}
  LABELS threaded
  TIMEOUT 120)
target_compile_definitions(clap_tests PRIVATE
  KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>"
  KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
add_dependencies(clap_tests krevlo-bridge-helper krevlo_test_plugins)
