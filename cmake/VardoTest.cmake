find_package(GTest REQUIRED)
include(GoogleTest)

# vardo_test(<name> SOURCES ... LIBS ...): one GoogleTest program beside the
# code it tests; every test case becomes its own CTest test.
function(vardo_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# vardo_fuzz(<name> SOURCES ... LIBS ...): one libFuzzer program beside the
# code it fuzzes; its seed corpus is fuzz/<name>/ at the top of the tree.
function(vardo_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
