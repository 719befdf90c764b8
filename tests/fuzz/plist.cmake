# The codec is compiled into the target itself, so libFuzzer sees its coverage.
krevlo_fuzz(plist_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plist_fuzz.cpp ${PROJECT_SOURCE_DIR}/platform/audiounit/plist.cpp
  DEPS krevlo_util)
