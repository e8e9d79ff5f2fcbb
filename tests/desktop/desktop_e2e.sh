#!/usr/bin/env bash
# Runs a desktop program for real: a virtual X server, a window manager and a
# notification area (trayer), then checks the window and the tray icon from the
# outside the way an operator would use them.
#
#   desktop_e2e.sh PROGRAM [OUTPUT_DIR]
#
# PROGRAM must open the main window "Varnok" with a tray icon, hide to the tray
# when minimised, and end with status 0 when "Exit" is chosen or on SIGTERM.
# Screenshots go to OUTPUT_DIR (default: ./test-output).
# Exits 77 (skipped) when there is no Xvfb to run under.
set -u

program=${1:?usage: desktop_e2e.sh PROGRAM [OUTPUT_DIR]}
outdir=${2:-$PWD/test-output}

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "SKIP: Xvfb is not installed"
  exit 77
fi
for tool in openbox trayer xdotool xwininfo xprop import; do
  command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is not installed"; exit 1; }
done
[ -x "$program" ] || { echo "FAIL: $program is not an executable"; exit 1; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
mkdir -p "$outdir"

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; tail -20 "$log"; }
  done
  exit 1
}

# wait_for TENTHS COMMAND...: runs COMMAND every 0.1 s until it succeeds, at
# most TENTHS times.
wait_for() {
  local tries=$1
  shift
  while [ "$tries" -gt 0 ]; do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

visible_windows() { xdotool search --onlyvisible --name '.*' 2>/dev/null | sort; }
main_window_visible() { xdotool search --onlyvisible --name '^Varnok$' 2>/dev/null | grep -q .; }
main_window_gone() { ! main_window_visible; }
# The tray icon is the program's own window embedded in trayer's panel.
tray_icon() {
  local panel
  panel=$(xdotool search --classname '^panel$' 2>/dev/null | head -1)
  [ -n "$panel" ] || return 1
  xwininfo -tree -id "$panel" 2>/dev/null | grep -F '": ("' | grep -vF '"trayer")' |
    awk '{print $1}' | tail -1
}
has_tray_icon() { [ -n "$(tray_icon)" ]; }
client_geometry() {  # "X Y W H" of the client area
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
    /Width:/ {w=$2} /Height:/ {h=$2} END {print x, y, w, h}'
}

# A display number of the server's own choosing, so parallel runs never clash.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 5>&-
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")"
unset WAYLAND_DISPLAY VARNOK_HEADLESS
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# The window manager, started again if it gives up early (on a loaded
# machine it can lose a race for the fresh display).
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }
for attempt in 1 2 3; do
  openbox >>"$work/openbox.log" 2>&1 &
  wm_pid=$!
  pids+=("$wm_pid")
  tries=300
  while [ "$tries" -gt 0 ] && kill -0 "$wm_pid" 2>/dev/null && ! wm_ready; do
    sleep 0.1
    tries=$((tries - 1))
  done
  wm_ready && break
done
wait_for 300 wm_ready || fail "openbox did not take over the screen"

trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --expand true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 100 sh -c 'xdotool search --classname "^panel$" | grep -q .' || fail "trayer did not start"

(cd "$work" && exec "$program") >"$work/program.log" 2>&1 &
program_pid=$!
pids+=("$program_pid")

# The window: found by its caption, client area 497 x 353, fixed size.
wait_for 150 main_window_visible || fail "the window \"Varnok\" did not appear"
win=$(xdotool search --onlyvisible --name '^Varnok$' | head -1)
read -r x0 y0 w h <<<"$(client_geometry "$win")"
[ "$w" = 497 ] && [ "$h" = 353 ] || fail "client area is ${w}x${h}, not 497x353"
actions=$(xprop -id "$win" _NET_WM_ALLOWED_ACTIONS)
case "$actions" in
  *MAXIMIZE* | *RESIZE*) fail "the window can be maximised or resized: $actions" ;;
esac
echo "ok: window $win, client area ${w}x${h} at $x0,$y0, not resizable"

# The tray icon.
wait_for 100 has_tray_icon || fail "no tray icon appeared"
icon=$(tray_icon)
echo "ok: tray icon $icon"
sleep 0.5  # let the first log lines and the icon paint
import -window root "$outdir/desktop-e2e-window.png" || fail "screenshot failed"

# Move the window, minimise it: it leaves the screen and the window list
# (hidden, not iconified).
xdotool windowmove "$win" 60 80
wait_for 50 sh -c "xwininfo -id $win | grep -q 'Absolute upper-left X:  60'" || fail "window did not move"
read -r x0 y0 w h <<<"$(client_geometry "$win")"
xdotool windowminimize "$win"
wait_for 50 main_window_gone || fail "minimising did not hide the window"
wait_for 50 sh -c "! xprop -root _NET_CLIENT_LIST | grep -q $(printf '0x%x' "$win")" ||
  fail "the minimised window is still in the window list (iconified, not hidden)"
echo "ok: minimise hid the window"

# A right click on the icon opens the menu at the cursor.
before=$(visible_windows)
xdotool mousemove --window "$icon" 8 8 click 3
menu=""
for _ in $(seq 50); do
  menu=$(comm -13 <(echo "$before") <(visible_windows) | head -1)
  [ -n "$menu" ] && break
  sleep 0.1
done
[ -n "$menu" ] || fail "right click on the tray icon opened no menu"
eval "$(xdotool getmouselocation --shell)"
read -r mx my mw mh <<<"$(client_geometry "$menu")"
[ "$X" -ge $((mx - 2)) ] && [ "$X" -le $((mx + mw + 2)) ] && [ "$Y" -ge $((my - 2)) ] &&
  [ "$Y" -le $((my + mh + 2)) ] || fail "menu at $mx,$my ${mw}x${mh} is not at the cursor ($X,$Y)"
echo "ok: menu ${mw}x${mh} at $mx,$my, cursor at $X,$Y"
sleep 0.3
import -window root "$outdir/desktop-e2e.png" || fail "screenshot failed"
xdotool key Escape
wait_for 50 sh -c "! xdotool search --onlyvisible --name '.*' | grep -qx $menu" || fail "menu did not close"

# A double click on the icon brings the window back where it was.
xdotool mousemove --window "$icon" 8 8 click --repeat 2 --delay 80 1
wait_for 50 main_window_visible || fail "double click on the tray icon did not show the window"
read -r x1 y1 w1 h1 <<<"$(client_geometry "$win")"
[ "$x1 $y1 $w1 $h1" = "$x0 $y0 $w $h" ] ||
  fail "window came back at $x1,$y1 ${w1}x${h1}, was at $x0,$y0 ${w}x${h}"
echo "ok: double click showed the window at its place"

# And a second double click hides it again.
sleep 0.5
xdotool mousemove --window "$icon" 8 8 click --repeat 2 --delay 80 1
wait_for 50 main_window_gone || fail "double click on the tray icon did not hide the window"
echo "ok: double click hid the window"

# "Exit" from the tray menu ends the program with status 0.
# Under load a click right after the double click can be swallowed: let the
# double-click interval pass, and try the click at most three times.
sleep 0.5
before=$(visible_windows)
menu=""
for _ in 1 2 3; do
  xdotool mousemove --window "$icon" 8 8 click 3
  for _ in $(seq 20); do
    menu=$(comm -13 <(echo "$before") <(visible_windows) | head -1)
    [ -n "$menu" ] && break 2
    sleep 0.1
  done
done
[ -n "$menu" ] || fail "the menu did not open a second time"
read -r mx my mw mh <<<"$(client_geometry "$menu")"
xdotool mousemove $((mx + mw / 2)) $((my + mh - 10)) click 1  # the last item
for _ in $(seq 100); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "\"Exit\" did not end the program"
wait "$program_pid"
status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status after \"Exit\""
echo "ok: \"Exit\" ended the program with status 0"

# SIGTERM ends a second run with status 0 as well.
(cd "$work" && exec "$program") >"$work/program2.log" 2>&1 &
program_pid=$!
pids+=("$program_pid")
wait_for 150 main_window_visible || fail "the window did not appear on the second run"
kill -TERM "$program_pid"
for _ in $(seq 100); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "SIGTERM did not end the program"
wait "$program_pid"
status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status after SIGTERM"
echo "ok: SIGTERM ended the program with status 0"

echo "PASS (screenshots in $outdir)"
