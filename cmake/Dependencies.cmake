# Third-party dependencies, all from Debian 12 packages (native or :arm64 for the cross build).
find_package(Threads REQUIRED)
find_package(fmt REQUIRED)

find_path(PAHO_INCLUDE_DIR MQTTAsync.h REQUIRED)
find_library(PAHO_MQTT3A_LIBRARY paho-mqtt3a REQUIRED)
add_library(paho::mqtt3a UNKNOWN IMPORTED)
set_target_properties(paho::mqtt3a PROPERTIES
  IMPORTED_LOCATION ${PAHO_MQTT3A_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${PAHO_INCLUDE_DIR})

# The trace viewer of trace-server: JSON (header-only) and HTTP (Debian's libmicrohttpd, found
# through its pkg-config file). Without libmicrohttpd, trace-server is built without --http.
# cpp-httplib (a compiled shared library with its pkg-config file) is only the tests' HTTP client.
find_package(nlohmann_json 3 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MICROHTTPD IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(CPP_HTTPLIB IMPORTED_TARGET cpp-httplib)

if(MQW_BUILD_TESTS)
  # GoogleTest is built from Debian's sources so that every build (native, sanitized, aarch64)
  # gets a copy compiled with the same compiler and flags.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(gtest_target gtest gtest_main gmock gmock_main)
    mqw_test_build_flags(${gtest_target})
  endforeach()
endif()

if(MQW_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  find_package(spdlog QUIET)
endif()
