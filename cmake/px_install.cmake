# Install rules: what `cmake --install` puts in place, and so what the packages hold.
#   Linux and other POSIX systems: bin/px550-update, bin/px550-sim, their man pages, bash
#   completion for px550-update, and the README and copyright under share/doc/px550-update.
#   Windows: PX550Updater.exe, px550-update.exe and README.txt (the README's Windows section,
#   with Windows line ends), side by side.
set(px_package_dir ${PROJECT_SOURCE_DIR}/cmake/package)
set(PX_MAINTAINER "PX-550LN updater developers <px550-updater@example.org>")

if(WIN32)
  install(TARGETS PX550Updater px550-update RUNTIME DESTINATION .)

  # README.txt: the README's section for Windows users, with CRLF line ends.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  file(READ ${PROJECT_SOURCE_DIR}/README.md px_readme)
  string(FIND "${px_readme}" "\n## For Windows users\n" px_from)
  if(px_from LESS 0)
    message(FATAL_ERROR "README.md has no \"## For Windows users\" section for README.txt")
  endif()
  math(EXPR px_from "${px_from} + 1")
  string(SUBSTRING "${px_readme}" ${px_from} -1 px_section)
  string(FIND "${px_section}" "\n## " px_to)
  if(px_to GREATER 0)
    string(SUBSTRING "${px_section}" 0 ${px_to} px_section)
  endif()
  # The screenshot does not travel in the zip.
  string(REGEX REPLACE "!\\[[^]]*\\]\\([^)]*\\)\n\n" "" px_section "${px_section}")
  string(STRIP "${px_section}" px_section)
  set(px_section "PX-550LN firmware updater ${PROJECT_VERSION}\n\n${px_section}\n")
  string(REPLACE "\n" "\r\n" px_section "${px_section}")
  file(WRITE ${PX_GENERATED_DIR}/README.txt "${px_section}")
  install(FILES ${PX_GENERATED_DIR}/README.txt DESTINATION .)
  return()
endif()

install(TARGETS px550-update px550-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(px_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/px550-update)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${px_package_dir}/copyright DESTINATION ${px_doc_dir})

# A changelog in Debian's form for this version, gzipped without name or time stamp. Its date is
# the build's (SOURCE_DATE_EPOCH, when set, makes it reproducible).
string(TIMESTAMP px_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/changelog
     "px550-update (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${PX_MAINTAINER}  ${px_changelog_date}\n")
find_program(PX_GZIP gzip)
if(PX_GZIP)
  execute_process(COMMAND ${PX_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${px_doc_dir})
endif()
install(FILES ${px_package_dir}/px550-update.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME px550-update)

# Man pages from the programs' own --help (help2man), gzipped as Debian wants them.
find_program(PX_HELP2MAN help2man)
if(PX_HELP2MAN)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(px_pages "")
  foreach(program px550-update px550-sim)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz)
    set(subcommands "")
    if(program STREQUAL "px550-update")
      set(subcommands --subcommand ports --subcommand identify --subcommand flash)
    endif()
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/make-man-page.py
              --help2man ${PX_HELP2MAN} --program $<TARGET_FILE:${program}>
              --include ${px_package_dir}/${program}.h2m --version ${PROJECT_VERSION}
              ${subcommands} --out ${page}
      DEPENDS ${program} ${px_package_dir}/${program}.h2m
              ${PROJECT_SOURCE_DIR}/scripts/make-man-page.py
      COMMENT "Writing the man page of ${program}")
    list(APPEND px_pages ${page})
  endforeach()
  add_custom_target(px_man_pages ALL DEPENDS ${px_pages})
  install(FILES ${px_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man pages (Debian: help2man)")
endif()
