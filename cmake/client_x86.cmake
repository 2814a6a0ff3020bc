# The 32-bit client library, for the suite's 32-bit applications: this source tree configured
# again with the i686 toolchain and GUARDIAN_CLIENT_ONLY, into build/x86, its programs into the
# subfolder x86 of the output folder (where the library finds the agent in the folder above).
# Built with everything else, and again at every build (its own build decides what is out of
# date).
include(ExternalProject)
find_program(GUARDIAN_I686_CXX i686-w64-mingw32-g++-posix)
if(NOT GUARDIAN_I686_CXX)
  message(FATAL_ERROR "i686-w64-mingw32-g++-posix not found: run scripts/setup.sh (Debian's g++-mingw-w64-i686-posix)")
endif()
set(GUARDIAN_X86_OUT ${GUARDIAN_OUT}/x86)
ExternalProject_Add(guardian_client_x86
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/x86
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DGUARDIAN_CLIENT_ONLY=ON
    -DGUARDIAN_OUT=${GUARDIAN_X86_OUT}
    -DGUARDIAN_VERSION=${GUARDIAN_VERSION}
    -DGUARDIAN_BACKEND_ORIGIN=${GUARDIAN_BACKEND_ORIGIN}
    -DGUARDIAN_PROBE_PATH=${GUARDIAN_PROBE_PATH}
    -DGUARDIAN_API_KEY=${GUARDIAN_API_KEY}
    -DGUARDIAN_BACKEND_PUBLIC_KEY=${GUARDIAN_BACKEND_PUBLIC_KEY}
    -DGUARDIAN_NLOHMANN_DIR=${GUARDIAN_NLOHMANN_DIR}
    -DGUARDIAN_WINEPREFIX=${GUARDIAN_WINEPREFIX}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
