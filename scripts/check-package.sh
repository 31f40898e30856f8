#!/usr/bin/env bash
# Checks the package that `make package` built, as a packager and a user meet it: lintian --pedantic
# (no error, warning or info tag); apt-get install; --version; its autopkgtest (debian/tests, run on
# this machine by autopkgtest's null runner); a user (made here) and root each start
# it on a private Xvfb in a D-Bus session of their own and close it, with Save Settings on Close
# ticked by the starting values in /etc/xdg, and their settings must land in their own ~/.config
# (0700), never beside the program in /usr/bin; apt-get purge must leave none of its files. It leaves the machine as it
# found it: a quindle2 installed before (copied by dpkg-repack) and the settings files that it
# replaces are put back. Needs root.   scripts/check-package.sh <folder of the .changes and .debs>
set -euo pipefail

changes=$(realpath "$(ls "$1"/quindle2_*.changes)")
deb=$(dirname "$changes")/$(awk '$NF ~ /^quindle2_[^_]*_[^_]*\.deb$/ {print $NF; exit}' "$changes")
version=$(dpkg-deb -f "$deb" Version)
# The program's own version: no epoch, no Debian revision.
upstream=${version#*:}
upstream=${upstream%-*}
source_tree=$(dirname "$(realpath "$0")")/..
user=quindle2-check
system_ini=/etc/xdg/quindle2/quindle2.ini
kept=("$system_ini" /usr/bin/quindle2.ini /usr/lib/quindle2/quindle2.ini)
apt=(apt-get -y -qq --allow-downgrades -o DPkg::Lock::Timeout=600 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
export DEBIAN_FRONTEND=noninteractive

fail() { echo "$*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "check-package.sh installs a package and adds a user: run it as root"

work=$(mktemp -d)
chmod 711 "$work"
xvfb_pid=""
installed=""
previous=""
made_user=""
cleanup() {
  [ -n "$xvfb_pid" ] && { kill "$xvfb_pid"; wait "$xvfb_pid"; } 2>/dev/null
  # A check that failed half-way leaves none of what it made.
  [ -n "$installed" ] && "${apt[@]}" purge quindle2 >/dev/null 2>&1
  [ -n "$previous" ] && dpkg -i "$work"/previous/*.deb >/dev/null
  for i in "${!kept[@]}"; do
    [ -e "$work/kept-$i" ] && mkdir -p "$(dirname "${kept[$i]}")" && cp -a "$work/kept-$i" "${kept[$i]}"
  done
  [ -n "$made_user" ] && { pkill -KILL -u "$user"; userdel --remove "$user"; } 2>/dev/null
  rm -rf "$work" "/tmp/runtime-$user"
}
trap cleanup EXIT

echo "== lintian"
lintian --pedantic --fail-on error,warning,info --tag-display-limit 0 "$changes"

echo "== apt-get install"
if dpkg-query -W -f='${db:Status-Status}' quindle2 2>/dev/null | grep -q '^installed$'; then
  mkdir "$work/previous"
  (cd "$work/previous" && dpkg-repack quindle2 >/dev/null)
  previous=1
fi
for i in "${!kept[@]}"; do
  [ -e "${kept[$i]}" ] && cp -a "${kept[$i]}" "$work/kept-$i"
done
# A fresh install, as a new user's would be, with none of the files that it replaces.
[ -n "$previous" ] && "${apt[@]}" purge quindle2
rm -f "${kept[@]}"
installed=1
"${apt[@]}" install "$deb"
[ "$(quindle2 --version)" = "quindle2 $upstream" ] || fail "quindle2 --version does not say $upstream"
[ -f "$system_ini" ] || fail "$system_ini is not installed"

echo "== autopkgtest"
# The tests need the package's control files only, not a copy of the whole tree and its builds.
mkdir -p "$work/tree/debian"
cp -r "$source_tree"/debian/{control,changelog,source,tests} "$work/tree/debian/"
autopkgtest --no-built-binaries "$work/tree" -- null

# A private X server, which tells its display number when it takes connections.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/displayfd" 2>/dev/null &
xvfb_pid=$!
read -r -t 60 number <"$work/displayfd" || fail "Xvfb did not start"
display=":$number"

# The system-wide starting values: a speed, and Save Settings on Close ticked.
printf '[Morse]\r\nSpeed=77\r\nSettings=1\r\n' >"$system_ini"

# Starts the program as $1 with home $2 in a D-Bus session of its own, closes it by File > Exit,
# and checks that it left its settings in $2/.config/quindle2, a folder of its own with mode 0700.
save_as() {
  local who=$1 home=$2 runtime="$work/runtime-$1"
  install -d -m 700 -o "$who" "$runtime"
  runuser -u "$who" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$who" DISPLAY="$display" \
    XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb PULSE_SERVER=unix:/nonexistent \
    dbus-run-session -- quindle2 &
  local pid=$! window
  window=$(DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^QuindleII$' | head -1) || true
  [ -n "$window" ] || fail "the program's window did not appear for $who"
  # File > Exit by the keyboard: the close saves, as Save Settings on Close is ticked.
  DISPLAY=$display xdotool windowfocus --sync "$window" key --delay 200 alt+f x
  for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "the program did not end after File > Exit ($who)"
  wait "$pid" || fail "the program ended with an error ($who)"
  local saved="$home/.config/quindle2/quindle2.ini"
  grep -q $'^Speed=77\r$' "$saved" 2>/dev/null && grep -q $'^Settings=1\r$' "$saved" ||
    fail "the settings were not saved to $saved"
  [ "$(stat -c %U:%a "$home/.config/quindle2")" = "$who:700" ] ||
    fail "$home/.config/quindle2 is not $who's own with mode 0700"
}

echo "== a user saves settings"
id "$user" >/dev/null 2>&1 && fail "the user $user exists already"
useradd --create-home --shell /bin/bash "$user" && made_user=1
save_as "$user" "$(getent passwd "$user" | cut -d: -f6)"
# Its D-Bus session ended with the program, and nothing that Qt started outlives it. The session's
# bus may take a moment to be reaped once it has ended.
for _ in $(seq 50); do
  survivors=$(ps -o pid=,stat=,args= -u "$user" || true)
  [ -n "$survivors" ] && sleep 0.1
done
survivors=$(awk '$2 !~ /^Z/' <<<"$survivors")
[ -z "$survivors" ] || fail "processes of $user outlived the program: $survivors"
userdel --remove "$user" 2>/dev/null && made_user=""
[ ! -e "/tmp/runtime-$user" ] || fail "/tmp/runtime-$user was made"

echo "== root saves settings"
# Root's home for this check only, so that root's own settings stay untouched.
mkdir -m 700 "$work/root-home"
save_as root "$work/root-home"
[ ! -e /usr/bin/quindle2.ini ] || fail "root's save wrote /usr/bin/quindle2.ini"

echo "== apt-get purge"
"${apt[@]}" purge quindle2
installed=""
# Every path of the package that names it (shared folders such as /usr/share/icons do not).
leftovers=$(dpkg-deb -c "$deb" | awk '{sub(/^\./, "", $6); print $6}' | grep quindle2 |
  while read -r path; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done || true)
[ -z "$leftovers" ] || fail "left after purge: $leftovers"
case "$(dpkg-query -W -f='${db:Status-Status}' quindle2 2>/dev/null || true)" in
  "" | not-installed) ;;
  *) fail "dpkg still holds quindle2 after purge" ;;
esac
echo "package check passed"
