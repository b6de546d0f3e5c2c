# Installation: the shared library, the public headers (listed one by one), a pkg-config file
# and a CMake package (find_package(mqtt-wrapper), target mqtt-wrapper::mqtt-wrapper); the tools
# with their manual pages and the trace server's systemd unit. Three install components, one per
# Debian package: lib (the shared library and its SONAME link), dev (headers, the unversioned
# link, the .pc file and the CMake package) and tools.
include(CMakePackageConfigHelpers)

set(MQW_PUBLIC_HEADERS
  include/mqtt-wrapper/export.h
  include/mqtt-wrapper/TR.h
  include/mqtt-wrapper/TRTextSink.h
  include/mqtt-wrapper/trhelper.h
  include/mqtt-wrapper/mqtt_client_wrapper.h)
foreach(header ${MQW_PUBLIC_HEADERS})
  if(EXISTS ${PROJECT_SOURCE_DIR}/${header})
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mqtt-wrapper COMPONENT dev)
  endif()
endforeach()

install(TARGETS mqtt-wrapper EXPORT mqtt-wrapperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT mqtt-wrapperTargets
  NAMESPACE mqtt-wrapper::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtt-wrapper
  COMPONENT dev)
configure_package_config_file(cmake/mqtt-wrapperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mqtt-wrapperConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtt-wrapper)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mqtt-wrapperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mqtt-wrapperConfig.cmake ${PROJECT_BINARY_DIR}/mqtt-wrapperConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtt-wrapper
  COMPONENT dev)
# The .pc file finds its prefix relative to itself, so an installation may be moved (or made
# with cmake --install --prefix) without editing it.
file(RELATIVE_PATH MQW_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(cmake/mqtt-wrapper.pc.in ${PROJECT_BINARY_DIR}/mqtt-wrapper.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mqtt-wrapper.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

include(DebianPackages)
