find_package(GTest REQUIRED)
include(GoogleTest)

# Under the sanitizers a finding ends a program with an exit code of its own,
# which no test expects of a program that merely failed: a test that looks
# for exit status 1 cannot take a sanitizer report for it.
set(VARDO_SANITIZER_EXITCODE 86)
set(VARDO_TEST_ENVIRONMENT "")
if(VARDO_SANITIZE)
  set(VARDO_TEST_ENVIRONMENT
    "ASAN_OPTIONS=exitcode=${VARDO_SANITIZER_EXITCODE}"
    "UBSAN_OPTIONS=exitcode=${VARDO_SANITIZER_EXITCODE}:halt_on_error=1:print_stacktrace=1")
endif()

# vardo_test(<name> SOURCES ... LIBS ... [EXCLUDE <case>...]): one GoogleTest
# program beside the code it tests; every test case becomes its own CTest
# test, but for the EXCLUDEd cases, which the caller registers itself.
function(vardo_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;EXCLUDE" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  set(filter "")
  if(T_EXCLUDE)
    list(JOIN T_EXCLUDE ":" excluded)
    set(filter TEST_FILTER "-${excluded}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_LIST ${name}_TESTS ${filter}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  # Set on the cases once they are discovered: the discovery's own PROPERTIES
  # would split a list of more than one variable into separate properties.
  if(VARDO_TEST_ENVIRONMENT)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
    file(WRITE ${script}
      "foreach(test IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT [==[${VARDO_TEST_ENVIRONMENT}]==])\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# vardo_fuzz(<name> SOURCES ... LIBS ...): one libFuzzer program beside the
# code it fuzzes; its seed corpus is fuzz/<name>/ at the top of the tree.
function(vardo_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
