#!/usr/bin/env bash
# usage: includes_stay_inside.sh INCLUDE_ROOT
# Fails, naming each offender, when a header under INCLUDE_ROOT includes a
# project file (a quoted include, or <disk_tools/...>) that does not lie under
# INCLUDE_ROOT itself.
set -euo pipefail
root="${1:?usage: includes_stay_inside.sh INCLUDE_ROOT}"
bad=0
while IFS= read -r -d '' header; do
  while IFS= read -r name; do
    if [ ! -f "$root/$name" ]; then
      echo "${header#$root/} includes $name, which is not under include/"
      bad=1
    fi
  done < <(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*("([^"]+)"|<(disk_tools\/[^>]+)>).*/\2\3/p' "$header")
done < <(find "$root" -name '*.h' -print0)
headers=$(find "$root" -name '*.h' | wc -l)
[ "$headers" -gt 0 ] || { echo "no headers under $root"; exit 1; }
[ "$bad" -eq 0 ] && echo "$headers headers include only files under include/"
exit "$bad"
