# px_add_gtest(<target> SOURCES ... LIBS ... [LABELS ...] [SLOW_CASES ...])
# LABELS name the tier (unit, integration, e2e, chaos); the cases named in SLOW_CASES (full
# names, Suite.Case) get the label slow as well. Tests built for Windows also carry windows.
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
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
    if(ARG_SLOW_CASES)
      # Read by ctest after the discovered cases (gtest_discover_tests cannot pass a list of
      # labels through to them).
      set(slow_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_slow.cmake")
      set(content "")
      foreach(case IN LISTS ARG_SLOW_CASES)
        string(APPEND content "set_tests_properties([=[${case}]=] PROPERTIES LABELS \"${ARG_LABELS};slow\")\n")
      endforeach()
      file(WRITE "${slow_file}" "${content}")
      set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${slow_file}")
    endif()
  endif()
endfunction()
