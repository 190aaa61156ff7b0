# px_add_gtest(<target> SOURCES ... LIBS ... [LABELS ...] [SLOW_CASES ...])
# LABELS name the tier (unit, integration, e2e, chaos); the cases named in SLOW_CASES (full
# names, Suite.Case) are registered apart with the label slow added. Tests built for Windows
# also carry windows.
# Native builds register every test case with ctest; under Wine one ctest test per executable
# keeps the number of Wine start-ups low.
function(px_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;SLOW_CASES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(CMAKE_CROSSCOMPILING)
    list(APPEND ARG_LABELS windows)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  else()
    if(ARG_SLOW_CASES)
      list(JOIN ARG_SLOW_CASES ":" slow)
      gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_FILTER "-${slow}"
        PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
      gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_FILTER "${slow}"
        PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS};slow")
    else()
      gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
        PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
    endif()
  endif()
endfunction()
