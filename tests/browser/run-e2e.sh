#!/usr/bin/env bash
# Runs the real-browser test of the demo page (exit 77 = skipped, with why).
set -u
here=$(cd "$(dirname "$0")" && pwd)
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
exec node "$here/demo-e2e.mjs" "$@"
