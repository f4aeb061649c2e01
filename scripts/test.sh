#!/usr/bin/env bash
# Runs every test from a fresh machine: installs what is missing; builds a Release tree with GCC,
# warnings as errors, and runs all of CTest; installs that tree and builds and runs the examples
# against it; builds a Release tree with Clang and runs its unit tests; then builds with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the unit tests again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DODB_TESTS=ON -DODB_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
# The transfers between accounts by many processes run 20 s in each journal mode here (a long
# reader holds its snapshot 10 s); 3 s in the other trees and by default.
ODB_TRANSFER_SECONDS=20 ctest --test-dir build --output-on-failure -j"$jobs" --timeout 900

scripts/install-test.sh build

# Clang warns where GCC does not, and its optimiser makes different use of undefined behaviour:
# the whole tree must build, and the unit tests pass, with both. The damage tests, minutes of
# program runs on spoilt files, run in the GCC and sanitizer trees only.
cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DODB_TESTS=ON \
  -DODB_WERROR=ON >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang --output-on-failure -j"$jobs" -L unit -E DamageTest --timeout 900

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DODB_SANITIZE=ON -DODB_TESTS=ON \
  -DODB_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit --timeout 900
