#!/usr/bin/env bash
# Runs a command in a fresh clone of this checkout's HEAD inside a Debian 13 (trixie) root, so that a
# Debian 12 machine (and CI on it) shows what a newcomer on the current stable Debian meets:
#   bash scripts/debian13-root.sh 'bash scripts/test.sh test_install'
# The root is made once with debootstrap (Debian's archive only, about two minutes) and kept in
# MORVELT_DEBIAN13_ROOT (default /var/tmp/morvelt-debian13); the clone is made anew each run, and the
# project's set-up installs inside what it names. Needs root (chroot, network namespaces).
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "debian13-root: needs root" >&2; exit 1; }
root=${MORVELT_DEBIAN13_ROOT:-/var/tmp/morvelt-debian13}
src=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
cmd=${1:-bash}

if [ ! -x "$root/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null || (. "$src/scripts/apt.sh" && apt_update && apt_install debootstrap)
  rm -rf "$root"
  debootstrap --variant=minbase --include=ca-certificates,git,sudo,binutils trixie "$root" \
    http://deb.debian.org/debian >/dev/null
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mountpoint -q "$root/sys" || mount --rbind /sys "$root/sys"
mountpoint -q "$root/dev" || mount --rbind /dev "$root/dev"
# Network namespaces (ip netns) need / to be a mount point of its own: enter through a bind of the root.
view="$root.view"
mkdir -p "$view"
mountpoint -q "$view" || mount --rbind "$root" "$view"
mkdir -p "$view/run/netns"

rm -rf "$root/root/project"
git clone -q "$src" "$root/root/project"
echo "debian13-root: $(. "$root/etc/os-release" && echo "$PRETTY_NAME"), clone of $(git -C "$src" log --oneline -1)"
exec chroot "$view" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c "cd /root/project && $cmd"
