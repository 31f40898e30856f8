#!/usr/bin/env bash
# Takes the README's screenshot: starts the built program on a private X server (Xvfb), waits
# for its main window, captures it and checks that the picture is not blank.
#   scripts/screenshot.sh [program] [picture]     (defaults: build/quindle2 docs/screenshot.png)
set -euo pipefail

program=${1:-build/quindle2}
picture=${2:-docs/screenshot.png}

fail() {
  echo "screenshot: $*" >&2
  exit 1
}

[ -x "$program" ] || fail "no program at $program (build it first: make build)"

# ImageMagick by its full path: another `import` or `convert` may come first on PATH.
import=/usr/bin/import
identify=/usr/bin/identify
missing=()
[ -x "$import" ] && [ -x "$identify" ] || missing+=(imagemagick)
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v xwininfo >/dev/null && command -v xprop >/dev/null || missing+=(x11-utils)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d)
xvfb_pid=""
program_pid=""
cleanup() {
  [ -z "$program_pid" ] || { kill "$program_pid" 2>/dev/null || true; wait "$program_pid" 2>/dev/null || true; }
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition about ten times a second; the limit [s] only ends a hung wait.
wait_for() {
  local limit=$1
  shift
  local tries=$((limit * 10))
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Xvfb chooses a free display itself and writes its number to fd 3 once it accepts clients.
# 96 dpi: the layout is drawn for it.
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
wait_for 30 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
display=":$(head -n1 "$work/display")"

# A copy in a folder of its own, so that no settings file lands beside the built program. No
# sound server: the window does not depend on one.
cp "$program" "$work/quindle2"
DISPLAY=$display QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$work PULSE_SERVER="unix:$work/no-sound" \
  "$work/quindle2" >"$work/program.log" 2>&1 &
program_pid=$!

window=""
window_shown() {
  kill -0 "$program_pid" 2>/dev/null || fail "the program ended early: $(cat "$work/program.log")"
  window=$(xwininfo -display "$display" -name QuindleII 2>/dev/null | awk '/Window id:/ { print $4 }')
  [ -n "$window" ] && [[ $(xwininfo -display "$display" -id "$window") == *"Map State: IsViewable"* ]]
}
wait_for 30 window_shown || fail "no window titled QuindleII appeared"
# The window is mapped before its first paint has reached the server.
sleep 1

"$import" -display "$display" -window "$window" -strip "$work/shot.png"
# A blank or half-drawn capture has only a handful of colours; the window has text and bevels.
colours=$("$identify" -format '%k' "$work/shot.png")
[ "$colours" -ge 16 ] || fail "the capture looks blank ($colours colours)"
icon=$(xprop -display "$display" -id "$window" _NET_WM_ICON)
if [[ $icon != *"Icon ("* ]]; then
  echo "screenshot: warning: the window has no icon (is the Qt SVG plug-in, libqt6svg6, installed?)" >&2
fi

mkdir -p "$(dirname "$picture")"
cp "$work/shot.png" "$picture"
echo "Wrote $picture ($("$identify" -format '%wx%h' "$picture"), $colours colours)"
