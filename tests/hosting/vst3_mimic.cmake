# The VST3 plug-in wrapper against an effect with habits of shipped effects
# (tests/plugins/vst3_mimic.cpp), with a hand-drained main queue; threaded.
if(TARGET vst3_mimic_tests)
  return()
endif()
krevlo_test(vst3_mimic_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_mimic_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/counting_new.cpp
  DEPS krevlo_hosting krevlo_dispatch ${CMAKE_DL_LIBS}
  LABELS threaded
  TIMEOUT 120)
target_compile_definitions(vst3_mimic_tests PRIVATE
  KREVLO_HELPER="$<TARGET_FILE:krevlo-bridge-helper>"
  KREVLO_TEST_PLUGINS="${KREVLO_TEST_PLUGINS_DIR}")
add_dependencies(vst3_mimic_tests krevlo-bridge-helper krevlo_test_plugins)
