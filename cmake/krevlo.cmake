# Warnings apply to our own targets only, never to imported ones.
function(krevlo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# krevlo_library(name SOURCES ... DEPS ...): one static library per subsystem.
function(krevlo_library name)
  cmake_parse_arguments(K "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${K_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${K_DEPS} PRIVATE ${K_PRIVATE_DEPS})
  krevlo_warnings(${name})
endfunction()

# krevlo_test(name SOURCES ... DEPS ... [LABELS ...]): a GoogleTest binary whose
# cases become separate ctest tests, so ctest -j spreads them over the cores.
# Label "threaded" marks the suites that the ThreadSanitizer build runs.
function(krevlo_test name)
  cmake_parse_arguments(K "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${K_SOURCES})
  target_link_libraries(${name} PRIVATE ${K_DEPS} krevlo_test_support GTest::gtest GTest::gmock)
  krevlo_warnings(${name})
  if(NOT K_TIMEOUT)
    set(K_TIMEOUT 60)
  endif()
  set(props TIMEOUT ${K_TIMEOUT})
  if(K_LABELS)
    list(APPEND props LABELS "${K_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()
