# MIDI: the byte parser, the port layer with its ALSA sequencer backend, and the
# virtual test controller.
find_package(ALSA REQUIRED)
list(APPEND KREVLO_ENGINE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/midi_parser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/midi_ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/midi_test_controller.cpp
  ${CMAKE_CURRENT_LIST_DIR}/midi_alsa.cpp)
list(APPEND KREVLO_ENGINE_DEPS ALSA::ALSA Threads::Threads)
