# The portable core built natively on the build host with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer: the same sources as guardian_portable in the Windows build, the
# platform services over libgcrypt and POSIX (the *_posix.cpp files), the portable unit tests,
# and one libFuzzer target per untrusted input (tests/fuzz). Included by CMakeLists.txt when
# GUARDIAN_NATIVE is set (preset native-fuzz); nothing of it reaches the product.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "the native build needs clang (libFuzzer): use the preset native-fuzz")
endif()
find_path(GUARDIAN_GCRYPT_INCLUDE gcrypt.h)
find_library(GUARDIAN_GCRYPT_LIB gcrypt)
if(NOT GUARDIAN_GCRYPT_INCLUDE OR NOT GUARDIAN_GCRYPT_LIB)
  message(FATAL_ERROR "libgcrypt not found: apt-get install libgcrypt20-dev")
endif()

# Every object, the test framework's included, carries both sanitizers; any report aborts,
# with its stack symbolised by the compiler's own llvm-symbolizer (Debian's llvm-14).
set(GUARDIAN_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all)
get_filename_component(_guardian_llvm_bin ${CMAKE_CXX_COMPILER} REALPATH)
get_filename_component(_guardian_llvm_bin ${_guardian_llvm_bin} DIRECTORY)
set(GUARDIAN_SYMBOLIZER ${_guardian_llvm_bin}/llvm-symbolizer)
add_compile_options(${GUARDIAN_SANITIZE} -fno-omit-frame-pointer -Wall -Wextra)
add_link_options(${GUARDIAN_SANITIZE})

include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
add_library(guardian_portable STATIC ${GUARDIAN_PORTABLE_SOURCES} ${CMAKE_BINARY_DIR}/generated/version.cpp)
target_include_directories(guardian_portable PUBLIC
  ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated ${CMAKE_BINARY_DIR}/thirdparty)
# Coverage feedback for the fuzzers; in the unit tests the sanitizer runtime ignores it.
target_compile_options(guardian_portable PRIVATE -fsanitize=fuzzer-no-link)
target_precompile_headers(guardian_portable PRIVATE <nlohmann/json.hpp> <string> <vector>)
add_library(guardian_platform STATIC ${GUARDIAN_PLATFORM_POSIX_SOURCES})
target_link_libraries(guardian_portable PUBLIC guardian_platform ${GUARDIAN_GCRYPT_LIB})
target_link_libraries(guardian_platform PUBLIC guardian_portable)

set(GUARDIAN_TESTDATA ${CMAKE_SOURCE_DIR}/tests/data)
enable_testing()

# The unit tests of the portable rules: every tests/unit/*_test.cpp (the *_test_win.cpp files
# need Windows and run only under Wine).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The test framework, like the tests, is built to compile quickly.
target_compile_options(gtest PRIVATE -O0)
target_compile_options(gtest_main PRIVATE -O0)
include(GoogleTest)
file(GLOB GUARDIAN_UNIT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
add_executable(guardian_tests ${GUARDIAN_UNIT_SOURCES})
target_include_directories(guardian_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit ${CMAKE_SOURCE_DIR}/tests/support
                           ${CMAKE_SOURCE_DIR}/sdk)
target_compile_definitions(guardian_tests PRIVATE GUARDIAN_TESTDATA="${GUARDIAN_TESTDATA}")
target_link_libraries(guardian_tests PRIVATE guardian_portable GTest::gtest GTest::gtest_main)
# As in the Windows build: test code built quickly, its common headers parsed once.
target_compile_options(guardian_tests PRIVATE -O0)
target_precompile_headers(guardian_tests PRIVATE
  <gtest/gtest.h> <nlohmann/json.hpp> <chrono> <string> <thread> <vector>)
gtest_discover_tests(guardian_tests PROPERTIES TIMEOUT 120 ENVIRONMENT "ASAN_SYMBOLIZER_PATH=${GUARDIAN_SYMBOLIZER}")

# The fuzz targets: tests/fuzz/fuzz_<input>.cpp, each with its seed corpus in
# tests/fuzz/corpus/fuzz_<input>/. scripts/fuzz.sh runs them.
file(GLOB GUARDIAN_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
# The targets share one precompiled JSON header (their flags are the same).
set(_guardian_fuzz_pch "")
foreach(src ${GUARDIAN_FUZZ_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  if(_guardian_fuzz_pch)
    target_precompile_headers(${name} REUSE_FROM ${_guardian_fuzz_pch})
  else()
    target_precompile_headers(${name} PRIVATE <nlohmann/json.hpp> <string> <vector>)
    set(_guardian_fuzz_pch ${name})
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE guardian_portable)
endforeach()
