#!/usr/bin/env bash
# Copies the record layouts of the library's headers into the guide's file
# format section, so that the manual shows the very tables the code is written
# against.
#
#   scripts/format-tables.sh            rewrite docs/guide.md in place
#   scripts/format-tables.sh --check    exit 1, showing the difference, when the
#                                       guide is not what it would be rewritten to
#   --root DIR                          work on another checkout (the tests use it)
#
# In the guide, a pair of lines
#   <!-- format:begin include/disk_tools/detail/NAME.h -->
#   <!-- format:end -->
# is filled with the comment that opens that header, as a preformatted block. Every
# header whose opening comment has an "offset ... width" heading row describes
# a record, and must have such a pair: a new record cannot be left out of the
# manual unnoticed. Plain bash and awk, so that a fresh machine can run it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
check=
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --root)
      [ $# -ge 2 ] || { echo "format-tables.sh: --root needs a folder" >&2; exit 2; }
      root=$(cd "$2" && pwd)
      shift
      ;;
    *) echo "usage: scripts/format-tables.sh [--check] [--root DIR]" >&2; exit 2 ;;
  esac
  shift
done

guide="$root/docs/guide.md"
[ -f "$guide" ] || { echo "format-tables.sh: $guide is missing" >&2; exit 2; }

# The guide with every marked section filled afresh, on standard output: a
# section holds the opening comment of its header (the leading // lines,
# without the slashes and the blank after them). One awk reads everything,
# since the check runs as a test in every build tree.
# Fails on a marker whose header is missing or has no opening comment, and on
# a begin marker that is never closed.
generate() {
  awk -v root="$root" '
    function fail(why) { print "format-tables.sh: " why > "/dev/stderr"; failed = 1; exit 1 }
    function copy_comment(path,   line, n) {
      n = 0
      while ((getline line < (root "/" path)) > 0) {
        if (line !~ /^\/\//) break
        sub(/^\/\/ ?/, "", line)
        if (n++ == 0) print "```text"
        print line
      }
      close(root "/" path)
      if (n == 0) fail("the guide names " path ", which has no opening comment")
      print "```"
    }
    /^<!-- format:begin [^ ]+ -->$/ {
      if (inside) fail(path " has no end marker")
      path = $3
      inside = 1
      print
      copy_comment(path)
      next
    }
    $0 == "<!-- format:end -->" {
      if (!inside) fail("an end marker without a begin")
      inside = 0
    }
    !inside { print }
    END { if (!failed && inside) fail(path " has no end marker") }
  ' "$guide"
}

# Headers that lay out a record but have no section in the guide.
unlisted_records() {
  local header rel
  awk 'FNR == 1 { leading = 1 }
       leading && !/^\/\// { leading = 0 }
       leading && /(^|[[:space:]])offset[[:space:]]+width([[:space:]]|$)/ && !(FILENAME in seen) {
         seen[FILENAME] = 1; print FILENAME
       }' "$root"/include/disk_tools/*.h "$root"/include/disk_tools/detail/*.h |
    while IFS= read -r header; do
      rel=${header#"$root"/}
      grep -qxF "<!-- format:begin $rel -->" "$guide" || echo "$rel"
    done
}

missing=$(unlisted_records)
if [ -n "$missing" ]; then
  echo "format-tables.sh: these headers lay out a record the guide does not show;" >&2
  echo "add a format:begin/format:end pair for each to docs/guide.md:" >&2
  printf '  %s\n' $missing >&2
  exit 1
fi

fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
generate >"$fresh"

if [ -n "$check" ]; then
  if ! diff -u --label "docs/guide.md" --label "docs/guide.md as generated" "$guide" "$fresh"; then
    echo "format-tables.sh: the guide's file format section differs from the headers;" >&2
    echo "run scripts/format-tables.sh to bring it up to date" >&2
    exit 1
  fi
  exit 0
fi

if cmp -s "$guide" "$fresh"; then
  echo "docs/guide.md is up to date"
else
  cat "$fresh" >"$guide"
  echo "updated docs/guide.md"
fi
