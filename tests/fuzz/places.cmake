krevlo_fuzz(places_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/places_fuzz.cpp DEPS krevlo_bridge)
