#!/usr/bin/env bash
# Checks the Debian package that `make package` built, on this machine, the way a user meets it:
# lintian reports no errors; apt-get installs it; `quindle2 --version` runs; a user who is not
# root starts it on a private X server (Xvfb) and closes it with Save Settings on Close ticked
# (by a system-wide settings file beside the program, as a packager may ship one), after which
# the user's own ~/.config/quindle2/quindle2.ini must hold those settings; apt-get removes it.
# Needs root (apt-get, useradd).
#   scripts/check-package.sh <package.deb>
set -euo pipefail

deb=$(realpath "$1")
user=quindle2-check
system_ini=/usr/lib/quindle2/quindle2.ini

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package.sh installs a package and adds a user: run it as root" >&2
  exit 1
fi

xvfb_pid=""
app_pid=""
installed=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$system_ini"
  # A check that failed half-way leaves neither the package nor its user behind.
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get -y -qq remove quindle2 >/dev/null 2>&1 || true
  fi
  userdel --remove "$user" >/dev/null 2>&1 || true
}
trap cleanup EXIT

echo "== lintian"
# Errors fail the check; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "== apt-get install"
# Another apt-get (an unattended upgrade) may hold the lock for a while.
apt=(apt-get -y -qq -o DPkg::Lock::Timeout=600)
installed=1
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "$deb"
quindle2 --version

echo "== a user saves settings"
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
home=$(getent passwd "$user" | cut -d: -f6)
rm -rf "$home/.config/quindle2"
printf '[Morse]\r\nSpeed=77\r\nSettings=1\r\n' > "$system_ini"

# A display number nobody uses.
display=""
for n in $(seq 70 99); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free display number" >&2; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  DISPLAY=$display xdotool getmouselocation >/dev/null 2>&1 && break
  sleep 0.1
done

runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$user" DISPLAY="$display" \
  QT_QPA_PLATFORM=xcb PULSE_SERVER=unix:/nonexistent quindle2 &
app_pid=$!
window=$(DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^QuindleII$' | head -1) || true
if [ -z "$window" ]; then
  echo "the program's window did not appear" >&2
  exit 1
fi
# File > Exit by the keyboard: the close saves, as Save Settings on Close is ticked.
DISPLAY=$display xdotool windowfocus --sync "$window" key --delay 200 alt+f x
for _ in $(seq 600); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then
  echo "the program did not end after File > Exit" >&2
  exit 1
fi
wait "$app_pid"
app_pid=""

saved="$home/.config/quindle2/quindle2.ini"
if ! grep -q $'^Speed=77\r$' "$saved" 2>/dev/null || ! grep -q $'^Settings=1\r$' "$saved"; then
  echo "the settings were not saved to $saved" >&2
  exit 1
fi
[ "$(stat -c %U:%a "$home/.config/quindle2")" = "$user:700" ] || {
  echo "$home/.config/quindle2 is not the user's own with mode 0700" >&2
  exit 1
}
echo "saved: $saved"

echo "== apt-get remove"
rm -f "$system_ini"
DEBIAN_FRONTEND=noninteractive "${apt[@]}" remove quindle2
installed=""
if [ -e /usr/bin/quindle2 ] || dpkg-query -W -f='${Status}' quindle2 2>/dev/null | grep -q "ok installed"; then
  echo "quindle2 is still installed" >&2
  exit 1
fi
echo "package check passed"
