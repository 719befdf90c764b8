krevlo_fuzz(websocket_frame_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/websocket_frame_fuzz.cpp DEPS krevlo_server)
