#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs (Wine's 32-bit loader) start on this machine. Nothing to do
# where the kernel runs them itself; otherwise QEMU's user-mode emulator is installed from
# Debian's archive and registered with the kernel for them (binfmt_misc). Safe to run again.
set -euo pipefail

loader=/usr/lib/wine/wine
runs_32bit() { "$loader" --version >/dev/null 2>&1; }
major() { sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }
# The emulator the kernel hands 32-bit programs to, as it names itself (QEMU's -version option,
# asked through its environment); nothing where the kernel runs them itself. Asked of the program
# rather than read from binfmt_misc, which a chroot does not see.
registered_major() { QEMU_VERSION=1 "$loader" 2>/dev/null | major; }

# Native where it runs without an emulator.
runs_32bit && [ -z "$(registered_major || true)" ] && exit 0

. "$(dirname "$0")/apt.sh"
qemu=/usr/bin/qemu-i386
misc=/proc/sys/fs/binfmt_misc

# QEMU 7 tracks guest pages one by one and needs about a minute for each Wine start; 10 does
# not. Debian 12 has 10 in its backports, later releases in their main archive.
qemu_major() { "$qemu" --version 2>/dev/null | major; }
if [ "$(qemu_major || true)" = "" ] || [ "$(qemu_major)" -lt 10 ]; then
  . /etc/os-release
  if [ "${VERSION_CODENAME:-}" = bookworm ]; then
    list=/etc/apt/sources.list.d/morvelt-bookworm-backports.sources
    if [ ! -f "$list" ]; then
      printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
        "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $sudo_cmd tee "$list" >/dev/null
    fi
    apt_update
    apt_install -t bookworm-backports qemu-user
  else
    apt_update
    apt_install qemu-user
  fi
fi

# The kernel's entry is shared by every root on the machine (a Debian 13 root on a Debian 12 host,
# say): one that already hands 32-bit programs to QEMU 10 or later is kept, so that programs
# running meanwhile never meet a machine without it.
registered=$(registered_major || true)
if runs_32bit && [ "${registered:-0}" -ge 10 ]; then
  echo "32-bit programs run under $(QEMU_VERSION=1 "$loader" | head -1) (already registered)"
  exit 0
fi

[ -e "$misc/register" ] || $sudo_cmd mount -t binfmt_misc binfmt_misc "$misc"
# An entry left by an older QEMU keeps that binary open ("F"); replace it.
[ -e "$misc/qemu-i386" ] && echo -1 | $sudo_cmd tee "$misc/qemu-i386" >/dev/null
# 32-bit little-endian x86 executables and shared objects; "F" opens the emulator now, so it
# also serves processes in other namespaces.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' |
  $sudo_cmd tee "$misc/register" >/dev/null

if ! runs_32bit; then
  echo "enable-i386: this kernel cannot start 32-bit programs, not even under $qemu" >&2
  exit 1
fi
echo "32-bit programs run under $("$qemu" --version | head -1)"
