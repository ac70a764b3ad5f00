#!/usr/bin/env bash
# Runs one real-browser test script (exit 77 = skipped, with the reason).
#   run-browser.sh demo-e2e.mjs|demo-scripted.mjs ARGS...
set -u
here=$(cd "$(dirname "$0")" && pwd)
script=$1
shift
if ! command -v node >/dev/null 2>&1; then
  echo "SKIP: node is not installed (scripts/install-deps installs it)"
  exit 77
fi
if [ ! -x "${FPKEYD_CHROMIUM:-/usr/bin/chromium}" ]; then
  echo "SKIP: chromium is not installed at ${FPKEYD_CHROMIUM:-/usr/bin/chromium} (scripts/install-deps installs it)"
  exit 77
fi
if [ ! -d "$here/node_modules/playwright-core" ]; then
  echo "SKIP: playwright-core is missing: npm ci --prefix tests/browser (scripts/install-deps does it)"
  exit 77
fi
exec node "$here/$script" "$@"
