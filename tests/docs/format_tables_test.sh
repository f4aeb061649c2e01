#!/usr/bin/env bash
# format_tables_test.sh SCRIPT: runs the guide's table generator on a small
# made-up checkout (a guide and two headers), damaged in one way per case, and
# requires --check to refuse every damage and to pass once the guide is
# regenerated. Without this, a generator that silently copied nothing would
# pass its own check forever. The checkout is made here, not copied from the
# repository, so that editing a real header never breaks this test.
set -uo pipefail
script=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"

# A record header, a header without a record, and a guide with prose around
# the record's section; then the section is filled as a user would.
fresh_checkout() {
  rm -rf "$root"
  mkdir -p "$root/docs" "$root/disk_tools"
  printf '%s\n' '// The widget record.' '//' '//   offset  width  field' \
    '//   0       8      count' '//   8       1      flag' '#pragma once' \
    >"$root/disk_tools/widget_records.h"
  printf '%s\n' '// Helpers, no record.' '#pragma once' >"$root/disk_tools/helpers.h"
  printf '%s\n' '# Guide' '' 'Before.' '' '<!-- format:begin disk_tools/widget_records.h -->' \
    '<!-- format:end -->' '' 'After.' >"$root/docs/guide.md"
  bash "$script" --root "$root" >/dev/null
}

# The damages, each applied to a fresh checkout; each fails when it could not
# be applied.
untouched() { :; }
header_table_edited() {
  sed -i 's|^//   8       1      flag|//   8       8      flag|' "$root/disk_tools/widget_records.h"
  grep -q '8       8      flag' "$root/disk_tools/widget_records.h"
}
guide_table_edited() {
  sed -i 's|^  0       8      count|  0       4      count|' "$root/docs/guide.md"
  grep -q '4      count' "$root/docs/guide.md"
}
new_record_without_section() {
  printf '%s\n' '// A record nobody documented.' '//' '//   offset  width  field' \
    '//   0       8      size' '#pragma once' >"$root/disk_tools/gadget_records.h"
}
section_of_missing_header() {
  printf '%s\n' '<!-- format:begin disk_tools/gone.h -->' '<!-- format:end -->' >>"$root/docs/guide.md"
}
section_never_closed() {
  printf '%s\n' '<!-- format:begin disk_tools/helpers.h -->' >>"$root/docs/guide.md"
}
section_removed() {
  sed -i '\|<!-- format:begin|,\|<!-- format:end -->|d' "$root/docs/guide.md"
  ! grep -q 'format:begin' "$root/docs/guide.md"
}

# damage : whether --check must pass (0) or refuse (1)
cases=(
  "untouched:0"
  "header_table_edited:1"
  "guide_table_edited:1"
  "new_record_without_section:1"
  "section_of_missing_header:1"
  "section_never_closed:1"
  "section_removed:1"
)

failed=0
for c in "${cases[@]}"; do
  damage=${c%%:*}
  expected=${c##*:}
  fresh_checkout
  if ! "$damage"; then
    echo "FAIL $damage: the damage could not be applied"
    failed=$((failed + 1))
    continue
  fi
  bash "$script" --check --root "$root" >"$scratch/out" 2>&1
  status=$?
  outcome=$([ "$status" -eq 0 ] && echo 0 || echo 1)
  if [ "$outcome" != "$expected" ]; then
    echo "FAIL $damage: --check exited $status, expected $([ "$expected" = 0 ] && echo 0 || echo non-zero)"
    sed 's/^/  | /' "$scratch/out"
    failed=$((failed + 1))
  fi
done

# Regenerating after the header changed puts exactly its comment, fenced,
# between the markers, keeps the prose around them, and satisfies the check.
fresh_checkout
header_table_edited
expected_guide=$(printf '%s\n' '# Guide' '' 'Before.' '' \
  '<!-- format:begin disk_tools/widget_records.h -->' '```text' 'The widget record.' '' \
  '  offset  width  field' '  0       8      count' '  8       8      flag' '```' \
  '<!-- format:end -->' '' 'After.')
if ! bash "$script" --root "$root" >/dev/null 2>&1 ||
  ! bash "$script" --check --root "$root" >/dev/null 2>&1 ||
  [ "$(cat "$root/docs/guide.md")" != "$expected_guide" ]; then
  echo "FAIL regenerate: the guide is not the edited header's comment between the markers:"
  sed 's/^/  | /' "$root/docs/guide.md"
  failed=$((failed + 1))
fi

total=$((${#cases[@]} + 1))
echo "$((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
