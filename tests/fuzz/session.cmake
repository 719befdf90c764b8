# A session's text handler over a fake host, with the shared test doubles.
krevlo_fuzz(session_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/session_fuzz.cpp
          ${PROJECT_SOURCE_DIR}/tests/support/fake_host.cpp ${PROJECT_SOURCE_DIR}/tests/support/fake_plugin.cpp
  DEPS krevlo_bridge)
if(TARGET session_fuzz)
  target_include_directories(session_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
