krevlo_bench(server_bench SOURCES server_bench.cpp DEPS krevlo_server)
