#!/usr/bin/env bash
# The benchmarks: the installer's package download (time, CPU), its invalidations during a
# download, its start-up to the first painted window and its size and imports, each printed with
# ratios against baselines measured in the same run on the same Wine and loopback server
# (bench/plain_download.exe, curl, bench/bare_window.exe). Not part of scripts/test.sh.
#   scripts/bench.sh              everything, 1 GiB downloads included (a few minutes)
#   scripts/bench.sh --no-big     without the 1 GiB downloads
#   scripts/bench.sh --reps N     64 MiB downloads per client (default 5; --big-reps, --start-reps too)
# Needs root (its own network namespace, where the test server listens on port 443).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "bench: needs root for its network namespace" >&2
  exit 1
fi
bash scripts/build.sh win >/dev/null
exec /usr/bin/python3 bench/run.py "$@"
