# Debian packages made by `cpack` in a build tree (scripts/package.sh drives it for amd64 and,
# cross-built, for arm64):
#   libmqtt-wrapper<SOVERSION>  the shared library (Multi-Arch: same)
#   libmqtt-wrapper-dev         headers, the unversioned link, mqtt-wrapper.pc, the CMake package
#   mqtt-wrapper-tools          trace-cat and trace-server, their manual pages, the systemd unit
# The version is the project's; the runtime dependencies are computed from the binaries by
# dpkg-shlibdeps, which reads the binaries' architecture from the files themselves and so takes
# the :arm64 libraries' symbols for the cross build.
# The packages install under CMAKE_INSTALL_PREFIX, which must be /usr (scripts/package.sh
# configures it), so that GNUInstallDirs gives the multiarch library directory.

set(MQW_PACKAGE_MAINTAINER "libmqtt-wrapper developers <libmqtt-wrapper@tarnvik.example>" CACHE STRING
  "Maintainer field of the Debian packages and their changelog")
set(MQW_LIB_PACKAGE libmqtt-wrapper${PROJECT_VERSION_MAJOR})
set(MQW_DEV_PACKAGE libmqtt-wrapper-dev)
set(MQW_TOOLS_PACKAGE mqtt-wrapper-tools)
# The unit directory of Debian 12's systemd (the same place as /usr/lib/systemd/system there).
set(MQW_SYSTEMD_UNIT_DIR /lib/systemd/system)

# Manual pages, the changelog: compressed at build time (gzip -n: no name or time stamp, so the
# file is the same in every build and the amd64 and arm64 -dev packages can be installed together
# with identical shared files). The changelog's date is the last commit's, for the same reason.
set(MQW_CHANGELOG_DATE "Thu, 01 Jan 2026 00:00:00 +0000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%aD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE commit_date
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_status)
  if(git_status EQUAL 0 AND commit_date)
    set(MQW_CHANGELOG_DATE "${commit_date}")
  endif()
endif()
set(doc_dir ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc_dir}/changelog @ONLY)
set(compressed)
foreach(pair "${doc_dir}/changelog|changelog.gz" "${PROJECT_SOURCE_DIR}/packaging/man/trace-cat.1|trace-cat.1.gz"
             "${PROJECT_SOURCE_DIR}/packaging/man/trace-server.1|trace-server.1.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 name)
  add_custom_command(OUTPUT ${doc_dir}/${name}
    COMMAND gzip -9 -n -c ${source} > ${doc_dir}/${name}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${doc_dir}/${name})
endforeach()
add_custom_target(mqw_package_docs ALL DEPENDS ${compressed})

install(FILES ${doc_dir}/trace-cat.1.gz ${doc_dir}/trace-server.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/trace-server.service
  DESTINATION ${MQW_SYSTEMD_UNIT_DIR} COMPONENT tools)
foreach(component lib dev tools)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${doc_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MQW_${upper}_PACKAGE} COMPONENT ${component})
endforeach()

# Debian's name of the target architecture (amd64, arm64), also when cross-building.
set(MQW_DEB_ARCH "")
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -q DEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
    OUTPUT_VARIABLE MQW_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT MQW_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE MQW_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mqtt-wrapper)
set(CPACK_PACKAGE_VENDOR "libmqtt-wrapper developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MQW_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)  # with CMAKE_STRIP: the cross strip in the cross build
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MQW_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SOURCE mqtt-wrapper)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# -dev depends on the library of exactly its version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS lib)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${MQW_LIB_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file: programs built against this version depend on it or a later one of the same
# SONAME (see the README's interface policy).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_LIB_DESCRIPTION "synchronous MQTT client and structured trace logging
A C++20 shared library with two services for a host process: a synchronous,
thread-safe MQTT client on the Paho asynchronous C library, and a structured
trace-logging engine with channels and sinks (null, rolling binary files,
console, text files, syslog, and a network sink that sends the stream over
UDP to a trace server).
.
This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${MQW_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include Paho's and fmt's headers; the .pc file requires fmt.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libpaho-mqtt-dev, libfmt-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "synchronous MQTT client and structured trace logging - development files
A C++20 shared library with two services for a host process: a synchronous,
thread-safe MQTT client on the Paho asynchronous C library, and a structured
trace-logging engine with channels and sinks.
.
This package contains the headers, the pkg-config file (mqtt-wrapper) and the
CMake package (find_package(mqtt-wrapper), target mqtt-wrapper::mqtt-wrapper).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${MQW_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "trace-cat and trace-server for libmqtt-wrapper's trace logging
trace-cat prints binary trace files as text lines. trace-server receives the
trace streams that network sinks send over UDP and stores each client's
stream as binary trace files.
.
A systemd unit for trace-server is installed but not enabled; it runs the
server as an unprivileged dynamic user listening on 127.0.0.1:9009 and
storing under /var/lib/trace-server.")

# CPack writes no Multi-Arch field and no ldconfig trigger; this step completes the packages.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianControl.cmake)
set(CPACK_MQW_DEB_MULTIARCH "${MQW_LIB_PACKAGE}=same;${MQW_DEV_PACKAGE}=same;${MQW_TOOLS_PACKAGE}=foreign")

include(CPack)
