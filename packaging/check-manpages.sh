#!/usr/bin/env bash
# The manual pages agree with the programs: the OPTIONS section of each page
# names exactly the options its program's --help prints, --help exits 0,
# fpkeyd --version prints the version the pages carry, and man(1) formats
# every page without a warning (what lintian checks).
# Args: MAN_DIR then PAGE=PROGRAM pairs (fpkeyd.8=/path/to/fpkeyd ...).
set -euo pipefail
man_dir=$1
shift
fail=0

# Option names in roff ("\-\-name") or in plain text ("--name").
names() { sed 's/\\-/-/g' | grep -o -- '--[a-z][a-z-]*' | sort -u; }

for pair in "$@"; do
  page=${pair%%=*}
  program=${pair#*=}
  src="$man_dir/$page"
  if ! help=$("$program" --help); then
    echo "$page: $program --help exits non-zero"
    fail=1
    continue
  fi
  # Options are the tags (.TP then .B/.BI) of the OPTIONS section.
  documented=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$src" |
    awk 'prev == ".TP" && /^\.BI? / { print $2 } { prev = $1 }' | names)
  # What --help offers: the synopsis (its first paragraph) and the option
  # that starts each line of the option list (not options of other
  # programs that a description mentions).
  offered=$(printf '%s\n' "$help" |
    awk '!/[^ ]/ { body = 1 } !body { print } body && /^ +--/ { print $1 }' | names)
  if [ -z "$documented" ] || [ "$documented" != "$offered" ]; then
    echo "$page: OPTIONS and $program --help disagree (< page, > --help):"
    diff <(echo "$documented") <(echo "$offered") || true
    fail=1
  fi
  if [ "$page" = fpkeyd.8 ]; then
    version=$("$program" --version | awk '{ print $2 }')
    th=$(sed -n 's/^\.TH .*"fpkeyd \([^"]*\)".*/\1/p' "$src")
    if [ -z "$version" ] || [ "$version" != "$th" ]; then
      echo "$page: fpkeyd --version says '$version', the page '$th'"
      fail=1
    fi
  fi
  if command -v man >/dev/null 2>&1; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
      man --warnings -E UTF-8 -l -Tutf8 -Z "$src" 2>&1 >/dev/null || echo "man failed")
    if [ -n "$warnings" ]; then
      echo "$page: man --warnings:"
      echo "$warnings"
      fail=1
    fi
  fi
done
if [ "$fail" -ne 0 ]; then
  echo "manual pages: FAILED"
  exit 1
fi
echo "manual pages: ok ($#)"
