# The parser is compiled into the target itself, so libFuzzer sees its coverage.
krevlo_fuzz(frame_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_fuzz.cpp ${PROJECT_SOURCE_DIR}/src/engine/frame.cpp
  DEPS krevlo_hosting)
