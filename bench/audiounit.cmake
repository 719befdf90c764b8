krevlo_bench(audiounit_bench SOURCES audiounit_bench.cpp DEPS krevlo_hosting)
