#!/usr/bin/env bash
# Builds what the Windows program links that mingw-w64 does not bring:
# mbedTLS 2.28.3 and libssh 0.10.6 from Debian's source packages, and
# GoogleTest from Debian's sources under /usr/src, all static, cross-built.
# Everything goes into a cache folder outside the source tree (SWK_WIN_CACHE,
# default ~/.cache/swkicker-win); a finished build there is reused. Prints
# nothing but progress; the install prefix is $SWK_WIN_CACHE/prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/windows-env.sh
cache=$win_cache
prefix="$cache/prefix"
stamp="$prefix/.complete-2"
[ -e "$stamp" ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Anything left by an older or unfinished build is built again.
rm -rf "$prefix" "$cache/build"
mkdir -p "$cache/src" "$cache/build"

# Debian's source packages: a deb-src copy of the system's own list (deb822
# or one-line format). The suite is named below, since the security suite
# may not carry both packages.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    src_list=/etc/apt/sources.list.d/swkicker-deb-src.sources
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        "${sudo[@]}" tee "$src_list" >/dev/null
  else
    src_list=/etc/apt/sources.list.d/swkicker-deb-src.list
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo[@]}" tee "$src_list" >/dev/null
  fi
  echo "added deb-src entries ($src_list)"
  "${sudo[@]}" apt-get update -qq
fi
cd "$cache/src"
if ! compgen -G 'mbedtls-2.28.3*/' >/dev/null || ! compgen -G 'libssh-0.10.6*/' >/dev/null; then
  rm -rf ./*
  apt-get source -qq libssh/bookworm mbedtls/bookworm
fi
mbedtls_src=$(ls -d "$cache"/src/mbedtls-2.28.3*/ | head -n 1)
libssh_src=$(ls -d "$cache"/src/libssh-0.10.6*/ | head -n 1)

toolchain="$root/cmake/windows-x86_64.cmake"
# Built for size, each function and datum in a section of its own, so the
# exe's linker keeps only what is used.
cmake_cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSWK_WIN_DEPS="$prefix"
             -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix"
             -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections"
             -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections"
             -DBUILD_SHARED_LIBS=OFF)

# mbedTLS: libssh's crypto needs its threading layer, or ssh_init() fails
# and the only sign is "Failed to set socket non-blocking".
echo "building mbedTLS"
python3 "$mbedtls_src/scripts/config.py" -f "$mbedtls_src/include/mbedtls/config.h" \
    set MBEDTLS_THREADING_C
python3 "$mbedtls_src/scripts/config.py" -f "$mbedtls_src/include/mbedtls/config.h" \
    set MBEDTLS_THREADING_PTHREAD
cmake -S "$mbedtls_src" -B "$cache/build/mbedtls" "${cmake_cross[@]}" \
    -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF >/dev/null
cmake --build "$cache/build/mbedtls" >/dev/null
cmake --install "$cache/build/mbedtls" >/dev/null

echo "building libssh"
cmake -S "$libssh_src" -B "$cache/build/libssh" "${cmake_cross[@]}" \
    -DWITH_MBEDTLS=ON -DMBEDTLS_ROOT_DIR="$prefix" \
    -DWITH_GSSAPI=OFF -DWITH_SERVER=OFF -DWITH_EXAMPLES=OFF -DWITH_NACL=OFF \
    -DWITH_PCAP=OFF -DWITH_SFTP=OFF -DWITH_ZLIB=OFF -DWITH_SYMBOL_VERSIONING=OFF \
    -DUNIT_TESTING=OFF -DCLIENT_TESTING=OFF -DSERVER_TESTING=OFF >/dev/null
cmake --build "$cache/build/libssh" >/dev/null
cmake --install "$cache/build/libssh" >/dev/null

echo "building GoogleTest"
cmake -S /usr/src/googletest -B "$cache/build/googletest" "${cmake_cross[@]}" \
    -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build "$cache/build/googletest" >/dev/null
cmake --install "$cache/build/googletest" >/dev/null

touch "$stamp"
echo "Windows dependencies ready in $prefix"
