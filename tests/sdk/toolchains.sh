#!/bin/sh
# The SDK as other toolchains take it, for both architectures: the SDK's folder staged from this
# build (sdk/stage.cmake); a program compiled by clang for the MSVC target and linked by lld-link
# against the SDK's import library alone; the same program built by CMake with MinGW through
# find_package(OstrivalGuardianClient). Each program runs under Wine beside the SDK's DLL and
# must exit with 0.
# Usage: toolchains.sh SOURCE_DIR BUILD_DIR WINE_RUN
set -eu
src=$1
build=$2
wine_run=$3
work=$build/sdk-toolchains
rm -rf "$work"
mkdir -p "$work"
sdk=$work/sdk
cmake -D GUARDIAN_PACKAGE_CONFIG="$build/packaging/config.cmake" -D GUARDIAN_SDK_STAGE="$sdk" -P "$src/sdk/stage.cmake"
consumer=$src/tests/sdk/consumer
status=0
check() {  # check NAME PROGRAM: runs it, reports its exit code
  if "$wine_run" "$2"; then
    echo "$1: ok"
  else
    echo "$1: exit code $?"
    status=1
  fi
}
for arch in x86_64 i686; do
  case $arch in
    x86_64) sub=""; triple=x86_64-pc-windows-msvc; machine=x64; toolchain=mingw-w64-x86_64.cmake ;;
    i686) sub="x86/"; triple=i686-pc-windows-msvc; machine=x86; toolchain=mingw-w64-i686.cmake ;;
  esac
  out=$work/$arch
  mkdir -p "$out"
  # No C runtime, no Windows SDK: the compiler's own stddef.h and stdint.h, the SDK's headers.
  clang-14 --target=$triple -ffreestanding -nostdlibinc -fno-builtin -O1 -Werror -Wall \
    -I "$sdk/include" -c "$consumer/consumer.c" -o "$out/consumer.obj"
  lld-link /nologo /machine:$machine /entry:consumer_start /subsystem:console /nodefaultlib \
    /out:"$out/consumer.exe" "$out/consumer.obj" "$sdk/lib/${sub}ostrival_guardian_client.lib"
  cp "$sdk/bin/${sub}ostrival_guardian_client.dll" "$out/"
  check "lld-link $arch" "$out/consumer.exe"
  cmake -S "$consumer" -B "$out/cmake" -G Ninja -D CMAKE_TOOLCHAIN_FILE="$src/cmake/$toolchain" \
    -D OstrivalGuardianClient_DIR="$sdk/lib/cmake/OstrivalGuardianClient" -D CMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$out/cmake" >/dev/null
  check "find_package $arch" "$out/cmake/run/consumer.exe"
done
exit $status
