# The libraries the build takes from the system, each found one way, here:
#   px_cli11        CLI11 (header-only): the command lines of px550-update and px550-sim
#   px_json         nlohmann-json (header-only): px550-update's JSON events, its reading of
#                   the virtual pedal's report, and the virtual pedal's writing of it
#   GTest::gtest_main  GoogleTest, only when PX_BUILD_TESTS is on

# A header-only library from the host's include folders: `probe` (a header under `folder`) is
# looked for, and the target gets the folder that holds `folder`. A cross build sees only a view
# holding a link to `folder`, so that it uses the host's copy without the rest of the host's
# headers.
function(px_header_library target var folder probe package)
  find_path(${var} ${folder}/${probe} PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${var})
    message(FATAL_ERROR "${folder}/${probe} not found (Debian: ${package}; or set ${var} to the "
                        "folder that holds ${folder}/${probe})")
  endif()
  add_library(${target} INTERFACE)
  if(CMAKE_CROSSCOMPILING)
    set(view ${CMAKE_BINARY_DIR}/${target}-include)
    file(MAKE_DIRECTORY ${view})
    file(CREATE_LINK ${${var}}/${folder} ${view}/${folder} SYMBOLIC)
    target_include_directories(${target} SYSTEM INTERFACE ${view})
  else()
    target_include_directories(${target} SYSTEM INTERFACE ${${var}})
  endif()
endfunction()

px_header_library(px_cli11 PX_CLI11_DIR CLI CLI.hpp libcli11-dev)
px_header_library(px_json PX_JSON_DIR nlohmann json.hpp nlohmann-json3-dev)

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
