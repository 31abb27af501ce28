#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest: WINEPREFIX, WINEDEBUG
# and LANG come from the caller's environment or the build's settings.
# A Wine start that fails before the program prints anything (seen now and
# then on a loaded machine, with no output at all) is tried once more; a
# program that ran and failed is never run again.
set -uo pipefail
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for try in 1 2; do
  wine "$@" >"$out" 2>&1
  status=$?
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$try" -eq 2 ]; then
    break
  fi
  echo "wine-run: Wine ended with status $status before the program printed anything; trying once more" >&2
done
cat "$out"
exit "$status"
