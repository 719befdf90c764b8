# MIDI: the byte parser, the port logic over a fake service, the test controller,
# and the ALSA sequencer where one exists. Deliveries run on other threads.
krevlo_test(midi_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/midi_parser_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/midi_ports_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/midi_test_controller_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/midi_alsa_test.cpp
  DEPS krevlo_engine
  LABELS threaded)
