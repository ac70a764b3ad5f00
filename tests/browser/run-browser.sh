#!/usr/bin/env bash
# Runs one real-browser test script in one engine (exit 77 = skipped, with
# the reason; the script itself checks for the browser and its driver).
#   run-browser.sh demo-e2e.mjs|demo-scripted.mjs|relying-party.mjs --engine chromium|firefox ARGS...
set -u
here=$(cd "$(dirname "$0")" && pwd)
script=$1
shift
if ! command -v node >/dev/null 2>&1; then
  echo "SKIP: node is not installed (scripts/install-deps installs it)"
  exit 77
fi
exec node "$here/$script" "$@"
