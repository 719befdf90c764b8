# Processing test plug-ins for the VST3 host: one bundle with a class per
# behaviour (see vst3_fx.cpp), which records what it sees for the tests, and a
# bundle whose code refuses to load.
if(TARGET vst3_fx_vst3)
  return()
endif()
krevlo_vst3_plugin(vst3_fx SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_fx.cpp)
target_include_directories(vst3_fx_vst3 PRIVATE ${PROJECT_SOURCE_DIR}/tests)
krevlo_vst3_plugin(vst3_noload SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_noload.cpp
  MODULEINFO ${CMAKE_CURRENT_LIST_DIR}/vst3_noload_moduleinfo.json)
