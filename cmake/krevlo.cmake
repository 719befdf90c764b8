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
# Label "threaded" marks the suites that the ThreadSanitizer build runs. RUNNER
# is a command that the binary runs under, listing included (scripts/x11-run).
function(krevlo_test name)
  cmake_parse_arguments(K "" "TIMEOUT;RUNNER" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${K_SOURCES})
  if(K_RUNNER)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${K_RUNNER})
  endif()
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

# Folders that several people extend at once include every *.cmake file beside
# their CMakeLists.txt, one per concern, so adding a concern touches no shared file.
macro(krevlo_include_parts)
  file(GLOB _krevlo_parts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _krevlo_parts)
  foreach(_part ${_krevlo_parts})
    include(${_part})
  endforeach()
endmacro()

# krevlo_fuzz(name SOURCES ... DEPS ...): a libFuzzer target, built only in the
# clang tree (scripts/build fuzz) and run for a bounded number of inputs by
# scripts/test. Seeds, when present, live in tests/fuzz/corpus/<name>/.
function(krevlo_fuzz name)
  cmake_parse_arguments(K "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT KREVLO_FUZZ)
    return()
  endif()
  add_executable(${name} ${K_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${K_DEPS})
  krevlo_warnings(${name})
  add_dependencies(fuzz_all ${name})
endfunction()
