#!/usr/bin/env bash
# The layering of the folders, the formatting, then clang-tidy (on the Windows build's compile commands) and
# cppcheck over the product code. Fails on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."
[ -f build/win/compile_commands.json ] || { echo "build/win is missing: run scripts/build.sh first"; exit 1; }
gccinc=$(dirname "$(i686-w64-mingw32-g++-posix -print-libgcc-file-name)")/include/c++
sources=$(git ls-files 'base/*.cpp' 'net/*.cpp' 'launch/*.cpp' 'restart/*.cpp' 'look/*.cpp' 'session/*.cpp' \
  'app/*.cpp')
rc=0

# Includes point down only: base (and res, the resource ids) -> net, launch, restart -> look -> session
# -> app. A folder includes itself and the folders below it; tests/ and bench/ may include any product
# folder. No two files, nor two modules (a.h/a.cpp against b.h/b.cpp), include each other.
echo "layers"
git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs grep -H '^#include "[a-z_]*/' | awk '
  BEGIN { split("base:0 res:0 net:1 launch:1 restart:1 look:2 session:3 app:4 tests:9 bench:9", l, " ")
          for (i in l) { split(l[i], kv, ":"); rank[kv[1]] = kv[2] } }
  { split($0, a, ":"); file = a[1]; match($0, /"[^"]*"/); target = substr($0, RSTART + 1, RLENGTH - 2)
    from = file; sub(/\/.*/, "", from); to = target; sub(/\/.*/, "", to)
    if (!(from in rank) || !(to in rank) || (to != from && rank[to] >= rank[from])) {
        print file ": includes " target " against the layer order"; bad = 1 }
    a1 = file; sub(/\.[a-z]*$/, "", a1); b1 = target; sub(/\.[a-z]*$/, "", b1)
    if (a1 != b1) { edge[a1 " " b1] = file " -> " target } }
  END { for (e in edge) { split(e, ab, " "); if ((ab[2] " " ab[1]) in edge && ab[1] < ab[2]) {
            print "cycle: " edge[e] " and " edge[ab[2] " " ab[1]]; bad = 1 } }
        exit bad }' || rc=1
# One formatting: every C++ file as .clang-format lays it out.
echo "format"
# (The tools' own exit codes are not the verdict: with pipefail a failing tool would hide its findings.)
report() { # pattern, output: prints the first findings and fails when there are any
  grep -qE "$1" <<<"$2" || return 0
  grep -E "$1" <<<"$2" | head -20
  return 1
}
out=$(git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format --style=file --dry-run \
  --Werror 2>&1)
report "error:" "$out" || rc=1

echo "clang-tidy on $(echo "$sources" | wc -w) files"
out=$(printf '%s\n' $sources | xargs -P 2 -n 4 clang-tidy -p build/win --quiet \
  --extra-arg=--target=i686-w64-mingw32 --extra-arg=-isystem"$gccinc" \
  --extra-arg=-isystem"$gccinc/i686-w64-mingw32" 2>/dev/null)
report "(warning|error):" "$out" || rc=1
echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --enable=warning,performance,portability \
  --inline-suppr --library=windows --suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches -I . -D_WIN32 -DMORVELT_VENDOR_HOST=L\"h\" \
  -DMORVELT_DOWNLOAD_HOST=L\"h\" -DMORVELT_PACKAGE_SIGNER=L\"s\" $sources || rc=1
[ $rc -eq 0 ] && echo "static analysis: clean"
exit $rc
