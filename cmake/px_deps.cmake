# The libraries the build takes from the system, each found one way, here:
#   px_cli11        CLI11 (header-only): the command lines of px550-update and px550-sim
#   GTest::gtest_main  GoogleTest, only when PX_BUILD_TESTS is on

find_path(PX_CLI11_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT PX_CLI11_DIR)
  message(FATAL_ERROR "CLI11 not found (Debian: libcli11-dev; or set PX_CLI11_DIR to the folder "
                      "that holds CLI/CLI.hpp)")
endif()
add_library(px_cli11 INTERFACE)
if(CMAKE_CROSSCOMPILING)
  # A folder holding only a link to CLI11 lets the cross build use the host's copy without
  # seeing the rest of the host's headers.
  set(px_cli11_view ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${px_cli11_view})
  file(CREATE_LINK ${PX_CLI11_DIR}/CLI ${px_cli11_view}/CLI SYMBOLIC)
  target_include_directories(px_cli11 SYSTEM INTERFACE ${px_cli11_view})
else()
  target_include_directories(px_cli11 SYSTEM INTERFACE ${PX_CLI11_DIR})
endif()

if(PX_BUILD_TESTS AND NOT PX_FUZZ AND NOT TARGET GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    # Debian's GoogleTest sources build with the MinGW compilers too.
    set(PX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${PX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
