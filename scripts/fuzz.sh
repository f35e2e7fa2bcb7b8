#!/usr/bin/env bash
# Runs every libFuzzer target of tests/fuzz/ (built by scripts/build.sh into build/native),
# one after the other, each with its own growing corpus in build/fuzz-corpus/<name>.
#   scripts/fuzz.sh              10 seconds per target
#   scripts/fuzz.sh 30           30 seconds per target
#   scripts/fuzz.sh --runs 5000  5000 inputs per target
# Takes the targets from build/native, or from the folder MORVELT_FUZZ_BUILD names (the long
# runs of scripts/fuzz-long.sh use an optimised build). Builds nothing. Prints the executions of each target and exits non-zero on any finding
# (crash, sanitizer report, broken invariant, leak, time-out) or when a target is missing.
# Crash inputs are kept in build/fuzz-artifacts/<name>/, full logs in build/fuzz-logs/.
set -uo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: $0 [seconds-per-target | --runs N]" >&2
  exit 2
}

mode=time
amount=10
case $# in
  0) ;;
  1) [[ $1 =~ ^[0-9]+$ ]] || usage; amount=$1 ;;
  2) [ "$1" = "--runs" ] && [[ $2 =~ ^[0-9]+$ ]] || usage; mode=runs; amount=$2 ;;
  *) usage ;;
esac
[ "$amount" -gt 0 ] || usage

if [ "$mode" = time ]; then
  budget=(-max_total_time="$amount")
  limit=$((amount + 120)) # a target still running by then hangs
else
  budget=(-runs="$amount")
  limit=$((amount / 500 + 600)) # a target slower than 500 inputs a second counts as hung
fi

# Any sanitizer report ends the run with a stack trace; libFuzzer turns it into a finding.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

shopt -s nullglob
sources=(tests/fuzz/*_fuzz.cpp)
if [ ${#sources[@]} -eq 0 ]; then
  echo "no fuzz targets in tests/fuzz" >&2
  exit 1
fi

mkdir -p build/fuzz-logs
failed=()
summary=()
for src in "${sources[@]}"; do
  name=$(basename "$src" .cpp)
  bin=${MORVELT_FUZZ_BUILD:-build/native}/$name
  if [ ! -x "$bin" ]; then
    echo "=== $name: not built ($bin missing; run scripts/build.sh)"
    failed+=("$name")
    summary+=("$(printf '%-24s %12s  %s' "$name" "-" "NOT BUILT")")
    continue
  fi
  corpus=build/fuzz-corpus/$name
  artifacts=build/fuzz-artifacts/$name/
  log=build/fuzz-logs/$name.log
  mkdir -p "$corpus" "$artifacts"
  extra=()
  [ -f "tests/fuzz/$name.dict" ] && extra+=(-dict="tests/fuzz/$name.dict")

  echo "=== $name (${mode} ${amount})"
  timeout --signal=INT --kill-after=10 "$limit" \
    "$bin" "${budget[@]}" "${extra[@]}" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  corpusSize=$(find "$corpus" -type f | wc -l)
  if [ $rc -ne 0 ] || [ -z "$runs" ]; then
    echo "=== $name: FINDING (exit code $rc); last lines of $log:"
    tail -n 40 "$log"
    ls "$artifacts" 2>/dev/null | sed 's/^/    artifact: /'
    failed+=("$name")
    summary+=("$(printf '%-24s %12s  %s' "$name" "${runs:--}" "FAILED")")
  else
    echo "=== $name: $runs executions, corpus $corpusSize inputs, no finding"
    summary+=("$(printf '%-24s %12s  %s' "$name" "$runs" "ok")")
  fi
done

echo
printf '%-24s %12s  %s\n' "target" "executions" "result"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FUZZ FINDINGS: ${failed[*]}"
  exit 1
fi
echo "ALL FUZZ TARGETS CLEAN"
