# CLAP hosting: the host, the plug-in wrapper with its host record, and the
# editor-window interface they call. Included by this folder's CMakeLists.txt.
set(KREVLO_CLAP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/clap_host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clap_plugin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clap_host_callbacks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clap_wakeup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/editor_window.cpp)
