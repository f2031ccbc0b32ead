# Read by cpack before it makes a package: a .deb whose library dependencies could not be worked
# out would install on systems that cannot run it, so it is not made at all. Whoever makes it is
# its maintainer.
if(CPACK_GENERATOR STREQUAL "DEB")
  include(${CPACK_TESSARAN_SOURCE_DIR}/cmake/maintainer.cmake)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSARAN_MAINTAINER}")
  find_program(TESSARAN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT TESSARAN_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "making the package needs dpkg-shlibdeps: apt-get install dpkg-dev file")
  endif()
endif()
