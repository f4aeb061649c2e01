#!/usr/bin/env bash
# Runs every test from a fresh machine: installs what is missing, builds the normal
# configuration and runs all of CTest, then builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the unit tests again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DODB_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 900

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DODB_SANITIZE=ON -DODB_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit --timeout 900
