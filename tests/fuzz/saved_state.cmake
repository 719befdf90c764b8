krevlo_fuzz(saved_state_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/saved_state_fuzz.cpp DEPS krevlo_bridge)
