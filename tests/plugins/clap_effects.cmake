# Processing test plug-ins for the CLAP host: one file with a descriptor per
# behaviour (see clap_fx.cpp), which records what it sees for the tests.
if(TARGET clap_fx_clap)
  return()
endif()
krevlo_clap_plugin(clap_fx SOURCES ${CMAKE_CURRENT_LIST_DIR}/clap_fx.cpp)
target_include_directories(clap_fx_clap PRIVATE ${PROJECT_SOURCE_DIR}/tests)
