# Our in-process Audio Unit layer and its property-list codec.
krevlo_test(audiounit_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/plist_test.cpp ${CMAKE_CURRENT_LIST_DIR}/au_unit_test.cpp
  DEPS krevlo_audiounit
  LABELS threaded)
