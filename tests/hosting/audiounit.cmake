# The Audio Unit host and plug-in over test components of our own layer.
krevlo_test(au_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/au_host_test.cpp ${CMAKE_CURRENT_LIST_DIR}/au_plugin_test.cpp
  DEPS krevlo_hosting krevlo_dispatch
  LABELS threaded)
