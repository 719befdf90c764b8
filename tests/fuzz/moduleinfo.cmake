krevlo_fuzz(moduleinfo_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/moduleinfo_fuzz.cpp DEPS krevlo_vst3)
