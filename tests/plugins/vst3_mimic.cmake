# A VST3 test effect that mimics habits of shipped effects the host must cope
# with (see vst3_mimic.cpp).
if(TARGET vst3_mimic_vst3)
  return()
endif()
krevlo_vst3_plugin(vst3_mimic SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_mimic.cpp)
target_include_directories(vst3_mimic_vst3 PRIVATE ${PROJECT_SOURCE_DIR}/tests)
