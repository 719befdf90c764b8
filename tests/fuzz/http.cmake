krevlo_fuzz(http_request_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/http_request_fuzz.cpp DEPS krevlo_server)
