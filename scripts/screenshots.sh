#!/usr/bin/env bash
# The README's pictures: the real installer under Wine and Xvfb against the test vendor server, in
# its welcome, downloading, failed, installed and restart-pending states, each cropped to the
# window and written to docs/*.png (see tests/e2e/screenshots.py).
# Needs root (the session runs in its own network namespace, where its server listens on port 443).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "screenshots: needs root for its network namespace" >&2
  exit 1
fi
bash scripts/build.sh win >/dev/null
exec /usr/bin/python3 tests/e2e/screenshots.py "$@"
