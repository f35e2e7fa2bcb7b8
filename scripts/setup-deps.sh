#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need on a Debian machine, each package
# by name: recommended packages are never installed, so what Wine only recommends (its own
# fonts, Liberation) is named here. Safe to run again: it only installs what is missing.
set -euo pipefail

need=(g++-mingw-w64-i686-posix g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
      cmake ninja-build googletest wine wine32 wine64 fonts-wine fonts-liberation fontconfig
      xvfb xdotool imagemagick x11-utils python3 openssl iproute2 util-linux clang
      clang-format clang-tidy cppcheck curl procps osslsigncode e2fsprogs)
# What differs between the releases: the sanitizers' and libFuzzer's runtime goes with the
# release's clang (14 on Debian 12, 19 on 13); elsewhere the default clang's own.
. /etc/os-release
case "${VERSION_CODENAME:-}" in
  bookworm) need+=(libclang-rt-14-dev) ;;
  trixie) need+=(libclang-rt-19-dev) ;;
  *) need+=(libclang-rt-dev) ;;
esac

. "$(dirname "$0")/apt.sh"

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
  missing+=(wine32)
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt_update
  apt_install "${missing[@]}"
fi

# The installer is a 32-bit program, and Wine runs it in a 32-bit Linux process. Some virtual
# machines run kernels that cannot start 32-bit processes at all ("Exec format error": no
# 32-bit code segment). There the 32-bit Wine loader runs under QEMU's user-mode emulator,
# registered for 32-bit x86 programs. QEMU 7 (Debian 12) spends about a minute starting each
# Wine process there; QEMU 10 (Debian 12's backports, Debian 13's main archive) starts one in a
# third of a second.
bash "$(dirname "$0")/enable-i386.sh"
echo "dependencies ready"
