#!/usr/bin/env bash
# The Debian package as an admin meets it: scripts/package.sh builds it,
# lintian (when installed) finds no error, dpkg installs it, swKicker runs
# from PATH against the router simulator, `man swKicker` shows the page, and
# dpkg --purge leaves none of its files behind.
# Needs root (dpkg); exits 77 (skipped) otherwise, or when a swkicker
# package is already installed on this machine (it is left alone).
# Usage: package_test.sh BUILD_FOLDER PATH_TO_swKicker-router-sim
set -euo pipefail

build=$(cd "$1" && pwd)
sim=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
source "$source_dir/tests/test_lib.sh"
own_system_ssh_config "$0" "$@"
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "SKIP: needs root and dpkg"
  exit 77
fi

# Builds from several clones may share this machine's dpkg database: one
# package test at a time.
exec 9>/var/lock/swkicker-package-test.lock
flock -w 600 9 || { echo "FAIL: another package test holds the lock"; exit 1; }
if dpkg-query -W -f='${Status}' swkicker 2>/dev/null | grep -q 'installed'; then
  echo "SKIP: a swkicker package is installed on this machine; not touching it"
  exit 77
fi

work=$(mktemp -d)
export HOME="$work/home"
mkdir -p "$HOME"
unset SSH_AUTH_SOCK
failures=0
installed=
cleanup() {
  stop_sims
  [ -n "$installed" ] && dpkg_retry --purge swkicker >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg_retry ARGS...: dpkg, waiting while another dpkg or apt holds its lock.
dpkg_retry() {
  local out
  for _ in $(seq 120); do
    if out=$(dpkg "$@" 2>&1); then
      printf '%s\n' "$out"
      return 0
    fi
    grep -qi 'lock' <<<"$out" || { printf '%s\n' "$out" >&2; return 1; }
    sleep 2
  done
  printf '%s\n' "$out" >&2
  return 1
}

# 1. Build it.
deb=$("$source_dir/scripts/package.sh" "$build")
[ -f "$deb" ] || { echo "FAIL: scripts/package.sh made no package"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "swkicker_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package name $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
grep -Eq '(^|, )libssh-(gcrypt-)?4( |,|$)' <<<"$depends" || fail "no libssh runtime in Depends: $depends"
grep -q 'libssh-dev' <<<"$depends" && fail "Depends names the -dev package: $depends"
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\.||' >"$work/contents"
for path in /usr/bin/swKicker /usr/share/man/man1/swKicker.1.gz /usr/share/doc/swkicker/README.md \
  /usr/share/doc/swkicker/copyright /usr/share/doc/swkicker/examples/swkicker-reboot.service \
  /usr/share/doc/swkicker/examples/swkicker-reboot.timer /usr/share/doc/swkicker/examples/swkicker.cron; do
  grep -qx "$path" "$work/contents" || fail "$path is not in the package"
done

# 2. lintian: no error (warnings and notes are printed, not failed on).
if command -v lintian >/dev/null; then
  if ! lintian --fail-on error "$deb" >"$work/lintian" 2>&1; then
    fail "lintian reports errors"
  fi
  grep -E '^[EWI]:' "$work/lintian" || true
else
  echo "note: lintian is not installed; skipped"
fi

# 3. Install, and run it from PATH as a nightly job would (no terminal)
#    against the simulator.
for f in /usr/bin/swKicker /usr/share/man/man1/swKicker.1.gz /usr/share/doc/swkicker; do
  [ -e "$f" ] && { echo "FAIL: $f exists before the install"; exit 1; }
done
dpkg_retry --path-include='/usr/share/man/man1/swKicker.1.gz' \
  --path-include='/usr/share/doc/swkicker/*' -i "$deb" >/dev/null || { echo "FAIL: dpkg -i"; exit 1; }
installed=yes
[ "$(command -v swKicker)" = /usr/bin/swKicker ] || fail "swKicker on PATH is '$(command -v swKicker)'"

start_sim secret 60 --count 1
status=0
(cd / && setsid -w swKicker /user:admin /pw:secret "/port:$port" /v:n /ip:127.0.0.1 \
  </dev/null >/dev/null 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "installed swKicker: exit status $status"
for _ in $(seq 50); do [ -s "$work/router.log" ] && break; sleep 0.1; done
grep -q '"answer":"y"' "$work/router.log" 2>/dev/null || fail "the router got no answer"

# The example units, as installed, are valid systemd units (the timer fires
# at 03:30).
if command -v systemd-analyze >/dev/null; then
  examples=/usr/share/doc/swkicker/examples
  out=$(systemd-analyze verify "$examples/swkicker-reboot.timer" "$examples/swkicker-reboot.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  grep -qx 'OnCalendar=\*-\*-\* 03:30:00' "$examples/swkicker-reboot.timer" || fail "the timer is not at 03:30"
fi

# 4. The manual page, found by name.
[ "$(man -w swKicker)" = /usr/share/man/man1/swKicker.1.gz ] || fail "man -w swKicker: $(man -w swKicker 2>&1)"
page=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man swKicker 2>"$work/man.err") || fail "man swKicker failed"
grep -q 'swKicker - reboot a network router over SSH' <<<"$page" || fail "man swKicker shows no NAME line"
[ -s "$work/man.err" ] && fail "man swKicker: $(cat "$work/man.err")"

# 5. Remove it: none of its files or folders stay.
dpkg_retry --purge swkicker >/dev/null || fail "dpkg --purge"
installed=
if dpkg-query -W -f='${Status}' swkicker 2>/dev/null | grep -q 'installed'; then
  fail "still known to dpkg after the purge"
fi
while read -r path; do
  case "$path" in
    /usr/ | /usr/bin/ | /usr/share/ | /usr/share/doc/ | /usr/share/man/ | /usr/share/man/man1/) ;;
    *) [ -e "$path" ] && fail "$path is left behind" ;;
  esac
done <"$work/contents"

if [ "$failures" -gt 0 ]; then
  [ -f "$work/lintian" ] && cat "$work/lintian"
  exit 1
fi
echo "package: built, lintian clean, installed, ran from PATH, man page found, removed"
