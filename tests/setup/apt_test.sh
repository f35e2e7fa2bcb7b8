#!/usr/bin/env bash
# The set-up's apt logic (scripts/apt.sh) against a stand-in apt-get that answers as Debian's
# archive did when its security suite was out of step: the fallback is taken then, and only then.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
cat >"$tmp/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "$*" >>"$STANDIN_LOG"
case " $* " in
  *" update "*) [ "$STANDIN_ARCHIVE" = healthy ] && exit 0
    echo "E: Failed to fetch .../bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    exit 100 ;;
esac
[ "$STANDIN_ARCHIVE" = healthy ] && exit 0
[ "$STANDIN_ARCHIVE" = offline ] && { echo "E: Unable to fetch some archives" >&2; exit 100; }
dir=$(printf '%s\n' "$@" | sed -n 's/^Dir::Etc::PreferencesParts=//p')
if [ -n "$dir" ] && grep -s -A1 "^Pin: release l=Debian-Security$" "$dir"/*.pref | grep -q "Pin-Priority: -1"; then
  echo "pinned" >>"$STANDIN_LOG"; exit 0
fi
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
STANDIN
chmod +x "$tmp/bin/apt-get"

fails=0
check() { # what, condition...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; fails=$((fails + 1)); fi
}
run_setup() { # archive -> $tmp/rc, $tmp/err, $STANDIN_LOG
  export STANDIN_ARCHIVE=$1 STANDIN_LOG=$tmp/$1.log MORVELT_APT_WAIT=0 PATH="$tmp/bin:$PATH"
  ( . "$here/../../scripts/apt.sh"; sudo_cmd=""; apt_update; apt_install wine32 xvfb ) 2>"$tmp/err"
  echo $? >"$tmp/rc"
}

run_setup broken
check "broken archive: the install succeeds" grep -qx 0 "$tmp/rc"
check "broken archive: the pinned install ran once" test "$(grep -c '^pinned$' "$tmp/broken.log")" = 1
check "broken archive: one line says so" test "$(grep -c 'point release' "$tmp/err")" = 1
check "broken archive: its preferences folder is gone" \
  bash -c '! test -e "$(sed -n "s/.*PreferencesParts=\([^ ]*\).*/\1/p" "$1" | head -1)"' _ "$tmp/broken.log"
run_setup healthy
check "healthy archive: plain install, no fallback" \
  bash -c '! grep -q PreferencesParts "$1" && ! grep -q "point release" "$2" && grep -qx 0 "$3"' _ "$tmp/healthy.log" "$tmp/err" "$tmp/rc"
run_setup offline
check "offline archive: failure, no fallback" \
  bash -c '! grep -q PreferencesParts "$1" && grep -qx 1 "$2"' _ "$tmp/offline.log" "$tmp/rc"
[ $fails -eq 0 ] && echo "apt set-up: all checks passed"
exit $((fails > 0))
