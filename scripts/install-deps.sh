#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# With --build-only, just what building the Linux programs needs.
set -euo pipefail

packages=(cmake g++ make)
if [ "${1:-}" != "--build-only" ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
    # the second compiler of the test build, and what the install test builds the examples with
    clang pkg-config
    # the benchmark's peers, and strace, which counts their system calls
    libboost-dev liblmdb-dev strace
    # the Windows program: cross compilers, and Wine on a virtual display to run it
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb imagemagick x11-utils xdotool
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
