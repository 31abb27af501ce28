#!/usr/bin/env bash
# Installs the Debian packages of the groups named, skipping those already
# present; with no group named, all of them.
#   build      compiler, CMake, libssh: the program and the router simulator
#              (./run.sh needs only this)
#   test       GoogleTest, Google Benchmark, libvterm, and the servers,
#              terminals and tools the tests and benchmarks run (Ansible for
#              the fleet example, parallel-ssh for the fleet benchmark)
#   windows    the mingw-w64 cross compilers, Wine to run the tests, and
#              what scripts/windows-deps.sh builds the SSH library from
#   hardening  valgrind, and clang for the sanitizer and fuzzer builds
#   package    the Debian package and its checks, the manual page's
# usage: scripts/install-deps.sh [build] [test] [windows] [hardening] [package]
set -euo pipefail

declare -A groups=(
  [build]="build-essential cmake ninja-build pkg-config libssh-dev python3"
  [test]="libgtest-dev libgmock-dev googletest libbenchmark-dev libvterm-dev
          tmux openssh-client openssh-server sshpass dropbear-bin strace procps
          python3-paramiko ansible-core pssh"
  # The cross compilers with std::thread (the posix flavour); GoogleTest's
  # sources and dpkg-dev (apt-get source) for the static Windows libraries.
  [windows]="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64
             dpkg-dev googletest"
  [hardening]="valgrind clang libclang-rt-14-dev"
  [package]="file fakeroot lintian groff-base man-db"
)
names=("$@")
[ ${#names[@]} -eq 0 ] && names=(build test windows hardening package)

packages=()
for name in "${names[@]}"; do
  if [ -z "${groups[$name]+set}" ]; then
    echo "install-deps.sh: no group '$name' (build, test, windows, hardening, package)" >&2
    exit 2
  fi
  read -r -d "" -a listed <<<"${groups[$name]}" || true
  packages+=("${listed[@]}")
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
