# A CLAP test plug-in that enforces its format's thread and lifecycle rules
# through the host's thread check and aborts the process on a violation.
if(TARGET clap_strict_clap)
  return()
endif()
krevlo_clap_plugin(clap_strict SOURCES ${CMAKE_CURRENT_LIST_DIR}/clap_strict.cpp)
target_include_directories(clap_strict_clap PRIVATE ${PROJECT_SOURCE_DIR}/tests)
