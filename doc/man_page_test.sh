#!/usr/bin/env bash
# The manual page renders without a single warning: groff with every warning
# on, and man -l as a reader would open it.
# Usage: man_page_test.sh PATH_TO_swKicker.1
set -euo pipefail
page=$1
export LC_ALL=C.UTF-8 MANWIDTH=80
warnings=$(groff -ww -z -man "$page" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: groff -ww:"; echo "$warnings"; exit 1; }
rendered=$(man --warnings -l "$page" 2>"${TMPDIR:-/tmp}/swk-man.$$") || true
warnings=$(cat "${TMPDIR:-/tmp}/swk-man.$$"); rm -f "${TMPDIR:-/tmp}/swk-man.$$"
[ -z "$warnings" ] || { echo "FAIL: man -l:"; echo "$warnings"; exit 1; }
for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" "HOST KEYS" AUTHENTICATION FILES EXAMPLES; do
  grep -q "^$section" <<<"$rendered" || { echo "FAIL: no section $section"; exit 1; }
done
echo "man page: no warnings"
