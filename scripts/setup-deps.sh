#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need on a Debian machine.
# Safe to run again: it only installs what is missing.
set -euo pipefail

need=(g++-mingw-w64-i686-posix g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
      cmake ninja-build googletest wine wine32 wine64 xvfb xdotool imagemagick x11-utils
      python3 openssl iproute2 util-linux clang libclang-rt-14-dev curl procps)

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  missing+=(wine32)
fi
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "dependencies ready"
