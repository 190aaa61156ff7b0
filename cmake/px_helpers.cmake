# px_add_gtest(<target> SOURCES ... LIBS ...)
# Native builds register every test case with ctest; under Wine one ctest test per executable
# keeps the number of Wine start-ups low.
function(px_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  endif()
endfunction()
