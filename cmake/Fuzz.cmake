# Fuzzing build (MQW_FUZZ=ON): libFuzzer targets in tests/fuzz with AddressSanitizer and
# UndefinedBehaviorSanitizer. Every library of the build is compiled with the same sanitizers and
# with fuzzer coverage instrumentation (fuzzer-no-link), so that the fuzzer sees the code under
# test and the sanitizers check it; only the fuzz targets link libFuzzer itself. Needs clang.
option(MQW_FUZZ "Build the libFuzzer targets of tests/fuzz (clang; sanitizers on everything)" OFF)

if(MQW_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "MQW_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The targets name the libraries they link; names are resolved when the build is generated,
  # so the libraries may be defined after this.
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/fuzz ${PROJECT_BINARY_DIR}/tests/fuzz)
endif()
