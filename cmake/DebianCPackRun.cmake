# Read by cpack before it builds the Debian packages (CPACK_PROJECT_CONFIG_FILE).
# dpkg-shlibdeps computes the dependencies of the packages' binaries from the libraries of the
# architecture named by DEB_HOST_ARCH: for the cross build, the :arm64 libraries it linked with.
if(CPACK_MQW_DEB_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} "${CPACK_MQW_DEB_HOST_ARCH}")
endif()
