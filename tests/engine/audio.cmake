# Real-time audio: frames, spectrum, the real-time layer and chains. Chains run
# worker threads.
krevlo_test(engine_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/frame_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/spectrum_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/realtime_thread_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_levels_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_late_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_bounds_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_quiet_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chain_failures_test.cpp
  DEPS krevlo_engine
  LABELS threaded)

# Allocation counts need the counting operator new, which must stay out of every
# other binary. The server is there for the connection thread's count.
krevlo_test(engine_alloc_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/audio_alloc_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/counting_new.cpp
    ${PROJECT_SOURCE_DIR}/tests/server/ws_test_client.cpp
  DEPS krevlo_engine krevlo_server
  LABELS threaded)
