#!/usr/bin/env bash
# The long fuzz runs, outside the test command: every target of tests/fuzz/ for 10 million inputs
# (or the count given), under ASan and UBSan as in the test run, but built with optimisation in
# build/fuzz-opt so that 10 million inputs take minutes rather than hours.
#   scripts/fuzz-long.sh             10000000 inputs per target
#   scripts/fuzz-long.sh 1000000     a million
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B build/fuzz-opt "${gen[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for src in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build build/fuzz-opt --target "${targets[@]}"
MORVELT_FUZZ_BUILD=build/fuzz-opt exec bash scripts/fuzz.sh --runs "$runs"
