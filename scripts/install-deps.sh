#!/usr/bin/env bash
# Installs the Debian packages that one kind of work needs; only what is missing.
#   scripts/install-deps.sh build   building and running the program (`make install`, `make run`)
#   scripts/install-deps.sh test    that, and building and running the tests and benchmarks
#   scripts/install-deps.sh ci      that, and CI's other gates: clang, cppcheck, the Debian package
set -euo pipefail

build=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
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
  # Access lists and extended attributes in the file-saving tests; the metainfo's validator.
  acl attr appstream
)
ci=(
  clang libclang-rt-dev cppcheck
  # The Debian package: its build, lintian, a user driving the installed program on Xvfb, and a
  # copy of a quindle2 that was installed before the check, to put back afterwards.
  build-essential debhelper dpkg-dev lintian xdotool dpkg-repack
)

case "${1:-}" in
  build) packages=("${build[@]}") ;;
  test) packages=("${build[@]}" "${test[@]}") ;;
  ci) packages=("${build[@]}" "${test[@]}" "${ci[@]}") ;;
  *) echo "usage: $0 build|test|ci" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
