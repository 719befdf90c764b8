krevlo_fuzz(scan_cache_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/scan_cache_fuzz.cpp DEPS krevlo_hosting)
