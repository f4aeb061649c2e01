#!/usr/bin/env bash
# The main job: builds the programs and runs the container showcase twice in a
# scratch folder, first creating its database, then running its script on it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install-deps.sh" --build-only
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DODB_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc 2>/dev/null || echo 2)" --target showcase

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$root/build/bin/showcase" -init
"$root/build/bin/showcase"
