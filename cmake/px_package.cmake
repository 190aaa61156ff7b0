# CPack: `make package` writes, into build/packages/,
#   px550-update_<version>_amd64.deb and px550-update-<version>-linux-x86_64.tar.gz (Linux), or
#   px550-updater-<version>-windows-x64.zip (Windows),
# from what the install rules put in place. The version is the project's.
set(PX_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/build/packages CACHE PATH "Where the packages are written")

set(CPACK_PACKAGE_NAME px550-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "PX-550LN updater developers")
set(CPACK_PACKAGE_CONTACT "${PX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the PX-550LN effects pedal")
set(CPACK_OUTPUT_FILE_PREFIX ${PX_PACKAGE_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git")
# Directories as every package has them (0755), whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME px550-updater-${PROJECT_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME px550-update-${PROJECT_VERSION}-linux-x86_64)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # px550-update_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs need, read from the binaries by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the extended description.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "px550-update writes new firmware into a PX-550LN effects pedal over the pedal's
Bluetooth serial port (for example /dev/rfcomm0): it lists the serial ports,
identifies the pedal and runs the whole update with a progress bar, ending
with one clear message that names the step that failed, if one did.
.
px550-sim is a virtual pedal on a pseudo-terminal, for trying the updater
without the device (px550-update flash --simulate).")
endif()

include(CPack)
