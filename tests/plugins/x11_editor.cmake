# The X11 editor shared by the CLAP and VST3 test plug-ins (x11_test_editor.cpp).
# Included after the files that define those plug-ins.
find_package(X11 REQUIRED)
foreach(target clap_fx_clap vst3_fx_vst3 vst3_views_vst3)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/x11_test_editor.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE X11::X11)
endforeach()
