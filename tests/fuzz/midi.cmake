krevlo_fuzz(midi_parser_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/midi_parser_fuzz.cpp DEPS krevlo_engine)
