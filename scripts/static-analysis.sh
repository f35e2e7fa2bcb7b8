#!/usr/bin/env bash
# clang-tidy (on the Windows build's compile commands) and cppcheck over the product code.
# Fails on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."
[ -f build/win/compile_commands.json ] || { echo "build/win is missing: run scripts/build.sh first"; exit 1; }
gccinc=$(dirname "$(i686-w64-mingw32-g++-posix -print-libgcc-file-name)")/include/c++
sources=$(git ls-files 'app/*.cpp' 'session/*.cpp' 'net/*.cpp' 'restart/*.cpp' 'launch/*.cpp')
rc=0
echo "clang-tidy on $(echo "$sources" | wc -w) files"
printf '%s\n' $sources | xargs -P 2 -n 4 clang-tidy -p build/win --quiet \
  --extra-arg=--target=i686-w64-mingw32 --extra-arg=-isystem"$gccinc" \
  --extra-arg=-isystem"$gccinc/i686-w64-mingw32" 2>/dev/null | grep -E "(warning|error):" && rc=1
echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --enable=warning,performance,portability \
  --inline-suppr --library=windows --suppress=missingIncludeSystem -I . -D_WIN32 -DMORVELT_VENDOR_HOST=L\"h\" \
  -DMORVELT_DOWNLOAD_HOST=L\"h\" $sources || rc=1
[ $rc -eq 0 ] && echo "static analysis: clean"
exit $rc
