# VST3 hosting: the host, the plug-in wrapper, the window calls they make, and
# the host-side objects handed to plug-ins (kept beside our VST3 declarations).
# Included by this folder's CMakeLists.txt.
set(KREVLO_VST3_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/vst3_host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vst3_host_context.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vst3_loop_sources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vst3_plugin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vst3_window.cpp
  ${PROJECT_SOURCE_DIR}/platform/vst3/vst3_host_application.cpp
  ${PROJECT_SOURCE_DIR}/platform/vst3/vst3_memory_stream.cpp
  ${PROJECT_SOURCE_DIR}/platform/vst3/vst3_process_data.cpp)
