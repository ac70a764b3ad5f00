#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks the layout the
# unit, the udev rule and pages rely on. Args: BUILD_DIR SCRATCH_DIR
set -euo pipefail
set -f  # udev patterns below are matched as words, never against files
build=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
prefix="$scratch/usr"
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
need() {
  if [ ! -e "$prefix/$1" ]; then
    echo "missing: $1"
    fail=1
  fi
}
for program in fpkeyd fpkey-vkey fpkey-provision fpkey-verify; do
  need bin/$program
done
need share/man/man8/fpkeyd.8.gz
for page in fpkey-vkey fpkey-provision fpkey-verify; do
  need share/man/man1/$page.1.gz
done
need lib/systemd/user/fpkeyd.service
need lib/udev/rules.d/70-fpkey.rules
need share/fpkeyd/fpkey.js
need share/fpkeyd/fpkey.d.ts
need share/fpkeyd/verify.mjs
need share/fpkeyd/demo/index.html
need share/fpkeyd/demo/fpkey.classic.js
need share/fpkeyd/demo/demo.js
need share/fpkeyd/demo/demo.css

unit="$prefix/lib/systemd/user/fpkeyd.service"
if [ -f "$unit" ]; then
  exec_line=$(grep '^ExecStart=' "$unit" || true)
  if [ "$exec_line" != "ExecStart=$prefix/bin/fpkeyd" ]; then
    echo "unit starts '$exec_line', expected ExecStart=$prefix/bin/fpkeyd"
    fail=1
  fi
  if grep -q '^User=\|^Group=' "$unit"; then
    echo "a user unit must not switch users"
    fail=1
  fi
  grep -q '^WantedBy=default.target' "$unit" || { echo "unit is not wanted by default.target"; fail=1; }
  grep -q '^ConditionUser=!root' "$unit" || { echo "unit may start as root"; fail=1; }
  if command -v systemd-analyze >/dev/null 2>&1; then
    # Only the unit's own syntax; the machine may have no user manager.
    out=$(systemd-analyze verify --user "$unit" 2>&1 | grep -v -e 'Failed to' -e 'bus' || true)
    if echo "$out" | grep -qi 'unknown\|invalid'; then
      echo "systemd-analyze: $out"
      fail=1
    fi
  fi
fi

rules="$prefix/lib/udev/rules.d/70-fpkey.rules"
if [ -f "$rules" ]; then
  patterns=$(sed -n 's/^ATTR{idProduct}=="\([^"]*\)", TAG+="uaccess"$/\1/p' "$rules")
  for product in 2547 2548 2549 254a 2550; do
    # Every product must reach a uaccess line; udev patterns are shell globs.
    hit=0
    for pattern in $patterns; do
      # shellcheck disable=SC2254
      case "$product" in $pattern) hit=1 ;; esac
    done
    if [ "$hit" -eq 0 ]; then
      echo "udev rule gives no uaccess to 2541:$product"
      fail=1
    fi
  done
  grep -q 'ATTR{idVendor}!="2541", GOTO="fpkey_end"' "$rules" || { echo "rule is not limited to vendor 2541"; fail=1; }
fi

if [ "$fail" -ne 0 ]; then
  echo "install layout: FAILED"
  exit 1
fi
echo "install layout: ok ($prefix)"
