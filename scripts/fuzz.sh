#!/usr/bin/env bash
# Fuzzes the library with whole database files for SECONDS (default 300):
# builds fuzz/odb_fuzz.cpp and the library with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/, starts from sound databases
# the target writes itself, and keeps what it finds in build-fuzz/findings/.
# Not part of the test command; installs clang and its runtime when missing.
#
#   scripts/fuzz.sh [SECONDS]            fuzz
#   scripts/fuzz.sh --replay FILE...     run the target once on each file
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

out=build-fuzz
mkdir -p "$out/corpus" "$out/findings"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Iinclude -Isrc fuzz/odb_fuzz.cpp src/*/*.cpp -o "$out/odb_fuzz"

if [ "${1:-}" = "--replay" ]; then
  shift
  exec "$out/odb_fuzz" -runs=1 "$@"
fi

seconds=${1:-300}
if [ -z "$(ls -A "$out/corpus")" ]; then
  ODB_FUZZ_SEEDS="$out/corpus" "$out/odb_fuzz"
fi
# A file is a few tens of kilobytes; one input may take at most 10 seconds and
# no single allocation may exceed 256 MB.
exec "$out/odb_fuzz" "$out/corpus" \
  -max_total_time="$seconds" -max_len=131072 -timeout=10 -malloc_limit_mb=256 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/findings/"
