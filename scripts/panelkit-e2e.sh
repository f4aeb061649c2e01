#!/usr/bin/env bash
# End-to-end test of panelkit: checks the cross-built 32-bit deliverable, then drives an
# x86-64 build of the same sources under 64-bit Wine on a virtual X display, operated and
# inspected by the programs of tests/panelkit/win32.
#   usage: scripts/panelkit-e2e.sh OUT_DIR
# Exit status 0 when all holds, 1 on the first failure, 77 when mingw-w64, Wine or the X
# tools are not installed (scripts/install-deps.sh installs them).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:?usage: panelkit-e2e.sh OUT_DIR}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

say() { echo "panelkit-e2e: $*"; }
fail() {
  echo "panelkit-e2e: FAILED: $*" >&2
  exit 1
}

for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-objdump Xvfb import \
  convert xdotool file cmake timeout "$wine" "$wineserver"; do
  command -v "$tool" >/dev/null || { say "skipped: $tool is not installed"; exit 77; }
done
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# The deliverable: a 32-bit GUI executable that needs only Windows' own DLLs.
"$root/scripts/panelkit-build.sh" "$out/i686" >"$out/build-i686.log" 2>&1 ||
  { cat "$out/build-i686.log" >&2; fail "32-bit build"; }
kind="$(file -b "$out/i686/bin/panelkit.exe")"
[[ "$kind" == "PE32 executable (GUI) Intel 80386"* ]] || fail "panelkit.exe is: $kind"
for dll in $(i686-w64-mingw32-objdump -p "$out/i686/bin/panelkit.exe" |
  awk '/DLL Name:/ { print tolower($3) }'); do
  case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | msvcrt.dll) ;;
    *) fail "panelkit.exe needs $dll" ;;
  esac
done
[ -f "$out/i686/bin/image.bmp" ] || fail "image.bmp is not beside the 32-bit program"
say "panelkit.exe: $kind"

{ cmake -S "$root/tests/panelkit/win32" -B "$out/x86_64" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" &&
  cmake --build "$out/x86_64" -j"$(nproc)"; } >"$out/build-x86_64.log" 2>&1 ||
  { cat "$out/build-x86_64.log" >&2; fail "x86-64 build"; }
bin="$out/x86_64/bin"
[ -f "$bin/image.bmp" ] || fail "image.bmp is not beside the x86-64 program"

# A virtual display and a fresh Wine prefix (several hundred megabytes) for this run only.
xvfb_pid="" program_pid=""
cleanup() {
  if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
  if [ -d "$out/prefix" ]; then
    WINEPREFIX="$out/prefix" timeout 30 "$wineserver" -k || true
    rm -rf "$out/prefix"
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$out/prefix" "$out/display" "$out/screen.png"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ ! -s "$out/display" ] && kill -0 "$xvfb_pid" 2>/dev/null && sleep 0.1 || break
done
[ -s "$out/display" ] || { cat "$out/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$(head -n1 "$out/display")"
export WINEPREFIX="$out/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="${HOME:-$out}"
# The first boot of a new prefix now and then fails to load Wine's own system files on a busy
# machine ("could not load kernel32.dll"): one more try, in a prefix made afresh.
boot() { timeout 180 "$wine" wineboot --init >>"$out/wineboot.log" 2>&1; }
: >"$out/wineboot.log"
boot || { timeout 30 "$wineserver" -k || true; rm -rf "$out/prefix"; boot; } ||
  fail "wineboot (see $out/wineboot.log)"

probe() { timeout 150 "$wine" "$bin/panelkit_probe.exe" "$@" | tr -d '\r'; }

# The command line is answered before any window: --help and --version on the standard output
# Wine hands the program, status 0; anything unknown on standard error, status 2.
version="$(sed -n 's/^project(odb_tools VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
while IFS='|' read -r args want_status want_out want_err; do
  status=0
  (cd "$bin" && exec timeout 60 "$wine" panelkit.exe $args) >"$out/answer.out" 2>"$out/answer.err" ||
    status=$?
  got_out="$(tr -d '\r' <"$out/answer.out" | head -n1)"
  got_err="$(tr -d '\r' <"$out/answer.err" | head -n1)"
  [ "$status" = "$want_status" ] && [ "$got_out" = "$want_out" ] && [ "$got_err" = "$want_err" ] ||
    fail "panelkit $args: status $status, output \"$got_out\", errors \"$got_err\""
done <<TABLE
--help|0|usage: panelkit|
--version|0|panelkit $version|
--bogus|2||panelkit: unknown argument '--bogus' (see panelkit --help)
--version --bogus|0|panelkit $version|
TABLE
# Without standard handles or a console to attach to, the answer comes in a message box.
(cd "$bin" && exec timeout 60 "$wine" panelkit.exe --version >&- 2>&- </dev/null) &
box_pid=$!
probe lone-box panelkit "panelkit $version" 30 || fail "panelkit --version with nowhere to write"
wait "$box_pid" || fail "panelkit --version ended with status $? after its message box"
say "--help, --version and an unknown argument answered without a window, or in a box"

(cd "$bin" && exec timeout 600 "$wine" panelkit.exe) >"$out/panelkit.log" 2>&1 &
program_pid=$!
probe wait 120 || fail "the window did not appear"

# Checks the window at the given outer size and its controls; reads the points to click at.
read_points() {
  local points
  points="$(probe controls "$1" "$2")" || fail "window or controls at $1x$2"
  point() { awk -v name="$1" '$1 == name { $1 = ""; print }' <<<"$points"; }
  read -r button_x button_y <<<"$(point button)"
  read -r tab0_x tab0_y <<<"$(point tab0)"
  read -r tab2_x tab2_y <<<"$(point tab2)"
  read -r canvas_x canvas_y canvas_w canvas_h <<<"$(point canvas)"
}

# Pixels of one colour inside a region of the screenshot.
count() {
  convert "$out/screen.png" -crop "$1" +repage -format %c histogram:info:- |
    awk -v colour="$2" 'index($0, colour) { sum += $1 } END { print sum + 0 }'
}

# The canvas, inside its 2-pixel frame, is black and crossed by the green curve in both halves.
check_canvas() {
  local half=$(((canvas_w - 4) / 2)) h=$((canvas_h - 4)) y=$((canvas_y + 2))
  local left="${half}x$h+$((canvas_x + 2))+$y" right="${half}x$h+$((canvas_x + 2 + half))+$y"
  local black green_left green_right
  for _ in 1 2 3 4 5; do
    import -display "$DISPLAY" -window root "$out/screen.png"
    black=$(($(count "$left" "#000000") + $(count "$right" "#000000")))
    green_left=$(count "$left" "#00FF00")
    green_right=$(count "$right" "#00FF00")
    [ $((black * 10)) -ge $((half * 2 * h * 7)) ] && [ "$green_left" -ge "$half" ] &&
      [ "$green_right" -ge "$half" ] && return 0
    sleep 1
  done
  fail "canvas ${canvas_w}x$canvas_h ($1): $black pixels black, $green_left + $green_right \
green (screenshot $out/screen.png)"
}

read_points 640 480
check_canvas "at start"
say "window \"Quib Win...\" at 640x480 with its controls in place and the curve drawn"

expect_pages() {
  local got=""
  for _ in $(seq 50); do
    got="$(probe pages)"
    [ "$got" = "$1" ] && return 0
    sleep 0.2
  done
  fail "$2: expected \"$1\", got \"$got\""
}
expect_pages "selected=1 First=0 Second=1 Third=0 IP=1 Picture=0" "initial pages"
xdotool mousemove "$tab0_x" "$tab0_y" click 1
expect_pages "selected=0 First=1 Second=0 Third=0 IP=0 Picture=1" "after selecting tab 0"
xdotool mousemove "$tab2_x" "$tab2_y" click 1
expect_pages "selected=2 First=0 Second=0 Third=1 IP=0 Picture=0" "after selecting tab 2"
say "tab pages follow the selected tab"

xdotool mousemove "$button_x" "$button_y" click 1
probe message-box Information "Quib Win..." 30 || fail "message box after pressing Click Me"
say "\"Click Me\" showed \"Quib Win...\" in a box captioned \"Information\""

# Painting more often than the process has GDI handles must not use up the drawing objects.
probe repaint 70000 || fail "repainting 70000 times"
probe resize 600 440 || fail "resizing after the repaints"
read_points 600 440
check_canvas "after 70000 repaints, at 600x440"

# A tiny window gives negative sizes; the program lays out, paints and lives on.
probe resize 60 50 || fail "tiny window"

probe close || fail "posting WM_CLOSE"
for _ in $(seq 300); do kill -0 "$program_pid" 2>/dev/null && sleep 0.1 || break; done
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" -eq 0 ] || fail "program ended with status $status after WM_CLOSE"
say "closing the window ended the program with status 0"

# Without a main window the program reports it and ends instead of hanging.
for mode in class window alloc; do
  timeout 90 "$wine" "$bin/panelkit_startup_check.exe" "$mode" | tr -d '\r' ||
    fail "start-up with no main window ($mode)"
done
say "passed"
