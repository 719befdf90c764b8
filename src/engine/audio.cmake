# Real-time audio: binary frames, chains and slots, the real-time worker layer,
# the spectrum analyser.
list(APPEND KREVLO_ENGINE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/spectrum.cpp
  ${CMAKE_CURRENT_LIST_DIR}/realtime_scheduler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/realtime_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/slot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chain.cpp)
list(APPEND KREVLO_ENGINE_DEPS krevlo_util Threads::Threads)
