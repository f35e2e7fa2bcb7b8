#!/usr/bin/env bash
# Runs the end-to-end scenarios: the real installer under Wine and Xvfb, each scenario in its own
# prefix, network namespace and display, against the local test vendor server.
#   scripts/e2e.sh [-j WORKERS (3; 2 where 32-bit code is emulated)] [test_module[.Class[.test]] ...]
# Needs root (network namespaces). Ends with "E2E: N passed, M failed[, K skipped]".
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "e2e: needs root for its network namespaces" >&2
  echo "E2E: 0 passed, 1 failed"
  exit 1
fi
if [ -z "${E2E_SKIP_BUILD:-}" ]; then
  bash scripts/build.sh win >/dev/null || { echo "e2e: build failed"; echo "E2E: 0 passed, 1 failed"; exit 1; }
fi
exec /usr/bin/python3 tests/e2e/run.py "$@"
