#!/usr/bin/env bash
# Builds every tree the tests and the demo use:
#   build/win     the installer and its test programs, hosts set to loopback names
#   build/native  the rules with sanitizers, their unit tests and the fuzz targets
# With "release" it builds build/release: the shipping executable with the real hosts.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=(-G Ninja)
if [ "${1:-}" = "release" ]; then
  cmake -S . -B build/release "${gen[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release --target MORVELTSetup
  ls -l build/release/MORVELTSetup.exe
  sha256sum build/release/MORVELTSetup.exe
  exit 0
fi
cmake -S . -B build/win "${gen[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DMORVELT_VENDOR_HOST=localhost -DMORVELT_DOWNLOAD_HOST=127.0.0.1 >/dev/null
cmake --build build/win
# The same installer with the package signature check on, for the scenarios of that check.
cmake -S . -B build/win-signer "${gen[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DMORVELT_VENDOR_HOST=localhost -DMORVELT_DOWNLOAD_HOST=127.0.0.1 -DMORVELT_PACKAGE_SIGNER="MORVELT Test Vendor" >/dev/null
cmake --build build/win-signer --target MORVELTSetup
if [ "${1:-}" != "win" ]; then
  cmake -S . -B build/native "${gen[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build/native
fi
