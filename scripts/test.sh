#!/usr/bin/env bash
# Runs every test: the set-up's apt logic against a stand-in, the rules' unit tests natively
# under ASan/UBSan and again under Wine, a short run of each fuzz target, the release's rebuild
# and signature, and the end-to-end scenarios of the real executable under Wine and Xvfb.
# Installs what it needs first. Exits non-zero when anything fails.
#   scripts/test.sh                     every layer, every scenario
#   scripts/test.sh test_module[.Class[.test]] ...
#                                       the set-up, the build, the unit layers and only the named
#                                       scenarios (the second Debian release's part of CI)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scenarios=("$@")

failed=()
layers=()
run() { # name, command...
  local name=$1 began=$SECONDS result; shift
  echo "=== $name"
  if "$@"; then result=ok; else result=FAILED; failed+=("$name"); fi
  layers+=("$(printf '%6d s  %-6s %s' $((SECONDS - began)) "$result" "$name")")
  echo "=== $name: $result ($((SECONDS - began)) s)"
}

# What scripts/enable-i386.sh left: QEMU, when it runs 32-bit x86 programs, names itself when
# asked through its environment; the kernel running them itself says nothing of the kind.
machine() {
  local qemu
  qemu=$(QEMU_VERSION=1 /usr/lib/wine/wine 2>/dev/null | grep -m1 '^qemu-i386 version')
  if [ -n "$qemu" ]; then
    echo "emulated (32-bit x86 programs run under ${qemu%% (*})"
  else
    echo "native (the kernel runs 32-bit x86 programs itself)"
  fi
}

# The set-up's own logic first: it needs nothing installed and takes a second.
run "set-up against a faulty archive (stand-in apt-get)" bash tests/setup/apt_test.sh

bash scripts/setup-deps.sh || exit 1
bash scripts/build.sh || exit 1

run "unit tests (native, sanitizers)" ctest --test-dir build/native --output-on-failure

wine_unit() {
  local prefix=$root/build/wine-unit-prefix
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$prefix/system.reg" ] || wineboot --init >/dev/null 2>&1
  local rc=0
  wine build/win/unit_tests_win.exe || rc=$?
  wineserver -k 2>/dev/null || true
  return $rc
}
run "unit tests (Windows build under Wine)" wine_unit

if [ ${#scenarios[@]} -eq 0 ]; then
  run "fuzz targets (short runs)" bash scripts/fuzz.sh "${MORVELT_FUZZ_SECONDS:-5}"
  run "static analysis" bash scripts/static-analysis.sh
  run "release (rebuilt identically, signed, verified)" bash tests/release/release_test.sh
fi
run "end to end (Wine + Xvfb)" bash scripts/e2e.sh "${scenarios[@]}"

echo
echo "machine: $(machine)"
printf '%s\n' "${layers[@]}"
echo "all layers took $SECONDS s"
if [ ${#failed[@]} -eq 0 ]; then
  echo "ALL TEST LAYERS PASSED"
  exit 0
fi
echo "FAILED LAYERS: ${failed[*]}"
exit 1
