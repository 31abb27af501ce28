#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# skipping those already present. The Windows build's compilers and Wine come
# with them; scripts/windows-deps.sh then builds its SSH library.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssh-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  libvterm-dev tmux openssh-client openssh-server sshpass dropbear-bin
  strace valgrind clang libclang-rt-14-dev python3 python3-paramiko procps
  # Windows: cross compilers with std::thread (the posix flavour), Wine to
  # run the tests, and dpkg-dev for apt-get source.
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 dpkg-dev
  # The Debian package and its checks.
  file fakeroot lintian groff-base man-db
)

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
