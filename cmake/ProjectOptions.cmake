# Compiler settings shared by every target of the project.

# MQW_SANITIZE: the sanitizer every target (GoogleTest included) is built with. "address" (or ON)
# is AddressSanitizer with UBSan; "thread" is ThreadSanitizer, which cannot be combined with
# AddressSanitizer and so has a build of its own. Applied globally (not per target) so that
# GoogleTest and every internal library agree on the instrumentation.
set_property(CACHE MQW_SANITIZE PROPERTY STRINGS OFF address thread)
string(TOLOWER "${MQW_SANITIZE}" MQW_SANITIZER)
if(MQW_SANITIZER STREQUAL "on")
  set(MQW_SANITIZER address)
elseif(NOT MQW_SANITIZE)
  set(MQW_SANITIZER "")
endif()
if(MQW_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(MQW_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(MQW_SANITIZER)
  message(FATAL_ERROR "MQW_SANITIZE=${MQW_SANITIZE}: expected OFF, address (or ON) or thread")
endif()

# mqw_target_warnings(<target>): warnings on our own code (never on third-party code), errors
# when MQW_WERROR is on (the project's test command turns it on; a consumer's build does not, so
# a newer or older compiler's new warnings never stop a plain Release build). g++ 12 reports
# -Wrestrict false positives inside libstdc++'s string copies at -O3, so that one check is off
# there. Under clang the lock annotations (libs/trace/base/thread_annotations.h) are checked
# as well.
function(mqw_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(MQW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()

# mqw_internal_library(<name> [DIRECTORY <dir>] [LIBS <deps>...])
# An internal static library made of every *.cc file of one subsystem folder. Tests link it
# directly; the shared library links all of them whole and exports only the public API.
function(mqw_internal_library name)
  cmake_parse_arguments(ARG "" "DIRECTORY" "LIBS" ${ARGN})
  if(NOT ARG_DIRECTORY)
    set(ARG_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${ARG_DIRECTORY}/*.cc)
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/libs/empty.cc)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/libs>)
  target_compile_definitions(${name} PRIVATE MQW_BUILDING_LIBRARY)
  if(ARG_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  endif()
  mqw_target_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY MQW_INTERNAL_LIBRARIES ${name})
endfunction()

# mqw_test_build_flags(<target>): test code (never the code under test) is compiled for build
# speed: line tables only, enough for backtraces and sanitizer reports, and outside Debug light
# optimisation. Full debug information and -O2 took twice to four times as long to compile a
# test source. The libraries and tools the tests exercise keep the build type's flags.
function(mqw_test_build_flags target)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Og> -g1)
endfunction()

# mqw_add_test(<name> SOURCES <files>... LIBS <libs>... [LABELS <labels>...] [NETNS] [TIMEOUT <s>]
#              [TSAN_OPTIONS <options>])
# One GoogleTest binary registered as one ctest test. NETNS runs it in a private network
# namespace (loopback up) so that it may start its own broker or syslog receiver on fixed ports.
# Under a cross build the binary runs through CMAKE_CROSSCOMPILING_EMULATOR. Under
# ThreadSanitizer the first report ends the process (halt_on_error), so that a race in a forked
# child changes its exit status and fails the test too; TSAN_OPTIONS adds options for this test
# only, each use stating its reason next to it.
function(mqw_add_test name)
  cmake_parse_arguments(ARG "NETNS" "TIMEOUT;TSAN_OPTIONS" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} mqw_test_support GTest::gtest_main)
  mqw_target_warnings(${name})
  mqw_test_build_flags(${name})
  set(runner)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  if(ARG_NETNS)
    add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns-run.sh ${runner} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${runner} $<TARGET_FILE:${name}>)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}"
    ENVIRONMENT "MQW_SOURCE_DIR=${PROJECT_SOURCE_DIR};MQW_BINARY_DIR=${PROJECT_BINARY_DIR};MQW_EMULATOR=${runner};ASAN_OPTIONS=detect_leaks=1:handle_segv=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_handler=1;UBSAN_OPTIONS=print_stacktrace=1;TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:${ARG_TSAN_OPTIONS}")
endfunction()
