# Read by cpack before it packages: Debian packages install under /usr, and only a build
# configured for /usr puts the libraries in the multiarch folder and names /usr in the CMake and
# pkg-config files.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages need a build folder configured with "
                      "-DCMAKE_INSTALL_PREFIX=/usr (this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
