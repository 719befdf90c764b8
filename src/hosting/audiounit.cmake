# Audio Unit hosting over our in-process Audio Unit layer: the host and the
# plug-in wrapper. Included by this folder's CMakeLists.txt.
set(KREVLO_AU_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/au_host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/au_plugin.cpp)
