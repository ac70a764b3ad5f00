#!/usr/bin/env bash
# Runs the fpkey.js unit tests with Node's own test runner (exit 77 = skipped):
# all of unit/, or the test files named.
set -u
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1; then
  echo "SKIP: node is not installed (scripts/install-deps installs it)"
  exit 77
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 20 ]; then
  echo "SKIP: node $major is too old; fpkey.js tests need Node 20 or newer"
  exit 77
fi
flags=()
# Node 20 and 21 have a WebSocket client only behind a flag.
node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' 2>/dev/null || flags+=(--experimental-websocket)
# Test files given as arguments run alone; none runs all of unit/.
targets=("$@")
[ $# -gt 0 ] || targets=("$here/unit/")
exec node "${flags[@]}" --test "${targets[@]}"
