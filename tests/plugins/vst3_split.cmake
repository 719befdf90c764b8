# A VST3 test effect with a separate controller, whose processor keeps its own
# copy of the parameters (see vst3_split.cpp).
if(TARGET vst3_split_vst3)
  return()
endif()
krevlo_vst3_plugin(vst3_split SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_split.cpp)
target_include_directories(vst3_split_vst3 PRIVATE ${PROJECT_SOURCE_DIR}/tests)
