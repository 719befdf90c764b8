krevlo_fuzz(base64_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/base64_fuzz.cpp DEPS krevlo_util)
