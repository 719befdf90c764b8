# VST3 test effects whose editors and run-loop use follow what editor toolkits
# do (see vst3_views_probe.h).
if(TARGET vst3_views_vst3)
  return()
endif()
krevlo_vst3_plugin(vst3_views SOURCES ${CMAKE_CURRENT_LIST_DIR}/vst3_views.cpp)
target_include_directories(vst3_views_vst3 PRIVATE ${PROJECT_SOURCE_DIR}/tests)
