#!/usr/bin/env bash
# Uses the library the way another project would. Installs the build tree BUILD_DIR into a
# scratch prefix, checks what landed there, builds every program of examples/ against it through
# find_package, builds one of them once more with nothing but pkg-config and once through
# add_subdirectory of this source tree, and runs them all (each example checks its own results).
#   usage: scripts/install-test.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: install-test.sh BUILD_DIR}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
jobs=$(nproc 2>/dev/null || echo 2)
passed=0 failed=0

say() { echo "install-test: $*"; }
# check WHAT COMMAND...: runs the command, counts and reports the outcome.
check() {
  local what="$1"
  shift
  if "$@" >"$work/last.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    say "FAILED: $what"
    sed 's/^/    /' "$work/last.log" >&2
  fi
}
# run_in_scratch PROGRAM: runs it in a folder of its own, since examples make databases.
run_in_scratch() {
  local dir
  dir="$(mktemp -d "$work/run.XXXXXX")"
  (cd "$dir" && "$1")
}
# A user's warnings settings are theirs; ours are strict so an example that warns is noticed.
strict=(-Wall -Wextra -Werror)

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# The headers installed are exactly those of the source tree's include/: the
# public ones and their detail/ folder, nothing of src/.
check "include/ installed as it is in the source tree" \
  diff <(cd "$root/include" && find . -type f | sort) <(cd "$prefix/include" && find . -type f | sort)
pc="$(find "$prefix" -name disk_tools.pc)"
check "disk_tools.pc installed" test -n "$pc"
for program in showcase mapdrill odbcheck odbstat odbcompact odbcopy reload; do
  check "installed $program answers --version" "$prefix/bin/$program" --version
done

for example in "$root"/examples/*/; do
  name="$(basename "$example")"
  check "example $name builds through find_package" \
    bash -c 'cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$3" \
               -DCMAKE_CXX_FLAGS="$4" && cmake --build "$2" -j"$5"' \
    _ "$example" "$work/build-$name" "$prefix" "${strict[*]}" "$jobs"
  check "example $name runs" run_in_scratch "$work/build-$name/$name"
done

# Plain pkg-config, as a Makefile would use it.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH="$(dirname "$pc")"
check "example notes builds with pkg-config" \
  bash -c 'c++ "${@:2}" "$1" -o "'"$work"'/notes-pc" $(pkg-config --cflags --libs disk_tools)' \
  _ "$root/examples/notes/notes.cpp" "${strict[@]}"
check "example notes built with pkg-config runs" run_in_scratch "$work/notes-pc"

# The source tree taken in with add_subdirectory gives the same target name.
mkdir -p "$work/sub"
cat >"$work/sub/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(subdirectory_user LANGUAGES CXX)
add_subdirectory("$root" odb_tools EXCLUDE_FROM_ALL)
add_executable(queue "$root/examples/queue/queue.cpp")
target_link_libraries(queue PRIVATE disk_tools::disk_tools)
CMAKE
check "example queue builds through add_subdirectory" \
  bash -c 'cmake -S "$1/sub" -B "$1/sub-build" && cmake --build "$1/sub-build" -j"$2"' \
  _ "$work" "$jobs"
check "example queue built through add_subdirectory runs" run_in_scratch "$work/sub-build/queue"

echo "install-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
