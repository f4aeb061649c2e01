#!/usr/bin/env bash
# Builds a Release tree of the benchmark (build-release) and prints its tables
# of medians as Markdown.
#
#   scripts/bench.sh [repetitions] [group...]   print the tables
#   scripts/bench.sh --doc                      regenerate the tables in docs/benchmarks.md
#
# Groups: programs, commit, map, order, typed, large, alloc, churn, containers,
# hash, peers, compact, longread, concurrent (default: all);
# repetitions default to 5. The peers (SQLite, LMDB, Boost.Interprocess) and
# strace, which counts their system calls, come from the packages that
# scripts/install-deps.sh installs when run without --build-only; a peer that
# is missing reads "(not built)", and without strace the system-call counts
# are skipped with a note.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

doc=
if [ "${1:-}" = "--doc" ]; then
  doc="$root/docs/benchmarks.md"
  shift
fi

"$root/scripts/install-deps.sh" --build-only
# The tests are left out: the benchmark needs only the library and the two
# drivers it times.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DODB_TESTS=ON \
  -DODB_SKIP="tests;reload;panelkit" >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target odb_bench >/dev/null

if [ -z "$doc" ]; then
  exec "$build/bin/odb_bench" "$@"
fi

# The tables replace everything between the two marker lines of the doc.
tables=$(mktemp)
trap 'rm -f "$tables"' EXIT
"$build/bin/odb_bench" "$@" >"$tables"
begin='<!-- tables: scripts/bench.sh --doc -->'
end='<!-- end of tables -->'
if ! grep -qxF "$begin" "$doc" || ! grep -qxF "$end" "$doc"; then
  echo "$doc lacks the marker lines" >&2
  exit 1
fi
awk -v begin="$begin" -v end="$end" -v tables="$tables" '
  $0 == begin { print; while ((getline line < tables) > 0) print line; skipping = 1; next }
  $0 == end { skipping = 0 }
  !skipping { print }
' "$doc" >"$doc.new"
mv "$doc.new" "$doc"
echo "updated $doc"
