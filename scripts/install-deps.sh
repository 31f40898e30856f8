#!/usr/bin/env bash
# Installs the Debian packages that one kind of work needs; only what is missing.
#   scripts/install-deps.sh build   building and running the program (`make install`, `make run`)
#   scripts/install-deps.sh test    that, and building and running the tests and benchmarks
#   scripts/install-deps.sh ci      that, and CI's other gates: clang, cppcheck, the Debian package
#   scripts/install-deps.sh package what dpkg-buildpackage needs for debian/ (`make package`)
# Without root and sudo it prints the apt-get command to run as root, and fails.
set -euo pipefail
cd "$(dirname "$0")/.."

build=(
  cmake g++ make pkg-config
  qt6-base-dev libxcb1-dev
  libqt6svg6
  # Qt's Wayland platform: in a Wayland session the program runs as a Wayland client.
  qt6-wayland
  libasound2-dev libasound2-plugins
  # Real-time priority from RealtimeKit on the system bus.
  libdbus-1-dev
  fonts-liberation
)
test=(
  libgtest-dev libgmock-dev libbenchmark-dev alsa-utils
  pulseaudio pulseaudio-utils
  # A headless PipeWire for the same audio tests; reached through pipewire-pulse, since
  # pipewire-alsa conflicts with pulseaudio. WirePlumber needs a session bus.
  pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  xvfb x11-utils libx11-dev desktop-file-utils openbox
  # The screen-reader test and benchmark: the accessibility bus and an AT-SPI client.
  at-spi2-core python3-pyatspi
  # The stand-in RealtimeKit service of the priority test.
  python3-dbus python3-gi
  # The real screen reader, with a speech server whose generic module writes what it says.
  orca speech-dispatcher
  # Access lists and extended attributes in the file-saving tests; the metainfo's validator and the
  # manual page's.
  acl attr appstream mandoc
)
ci=(
  clang libclang-rt-dev cppcheck
  # The Debian package: its build, lintian, a user driving the installed program on Xvfb, its
  # autopkgtest, and a copy of a quindle2 that was installed before the check, to put back afterwards.
  build-essential debhelper dpkg-dev lintian xdotool autopkgtest dpkg-repack
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
# Runs apt-get as root, or says how to when this user cannot.
apt_get() {
  if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
    echo "Some packages are missing, and sudo is not installed. As root, run:" >&2
    echo "  apt-get $*" >&2
    exit 1
  fi
  echo "Installing: apt-get $*"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@"
}

case "${1:-}" in
  build) packages=("${build[@]}") ;;
  test) packages=("${build[@]}" "${test[@]}") ;;
  ci) packages=("${build[@]}" "${test[@]}" "${ci[@]}") ;;
  package) packages=(dpkg-dev) ;;
  *) echo "usage: $0 build|test|ci|package" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The package's Build-Depends (with the build profiles of DEB_BUILD_PROFILES), and build-essential.
if [ "$1" = package ] && ! dpkg-checkbuilddeps 2>/dev/null; then
  apt_get build-dep -y -qq ${DEB_BUILD_PROFILES:+-P "$DEB_BUILD_PROFILES"} ./
fi
