#!/usr/bin/env bash
# The demo: builds the installer and its test programs, then runs a whole install under Wine against
# the bundled test vendor server, with the package fake as the demo package.
#   scripts/demo.sh                 with $DISPLAY: the installer opens on your display, you click
#   scripts/demo.sh --unattended    (default without a display) "/i /l" under Xvfb, screenshots in build/demo/
# Needs root (the demo runs in its own network namespace, where its server listens on port 443).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root for its network namespace" >&2
  exit 1
fi
bash scripts/setup-deps.sh
bash scripts/build.sh win >/dev/null
exec /usr/bin/python3 tests/e2e/demo.py "$@"
