#!/usr/bin/env bash
# Cross-builds the 32-bit Windows program panelkit.exe with mingw-w64, statically linked so it
# needs no DLL beyond Windows' own, and puts image.bmp beside it.
#   usage: scripts/panelkit-build.sh [BUILD_DIR]     (default: build-panelkit-win32)
# Prints the path of the program. Exits 77 when the cross compiler is not installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-panelkit-win32}"

if ! command -v i686-w64-mingw32-g++ >/dev/null; then
  echo "panelkit-build: i686-w64-mingw32-g++ not found (Debian package g++-mingw-w64-i686)" >&2
  exit 77
fi

cmake -S "$root/panelkit" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
echo "$build/bin/panelkit.exe"
