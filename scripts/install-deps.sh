#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need; only what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libqt6svg6
  # Qt's Wayland platform: in a Wayland session the program runs as a Wayland client.
  qt6-wayland
  libasound2-dev libasound2-plugins alsa-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation
  pulseaudio pulseaudio-utils
  # A headless PipeWire for the same audio tests; reached through pipewire-pulse, since
  # pipewire-alsa conflicts with pulseaudio. WirePlumber needs a session bus.
  pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
  xvfb x11-utils libx11-dev libxcb1-dev desktop-file-utils openbox
  # The screen-reader test and benchmark: the accessibility bus and an AT-SPI client.
  at-spi2-core python3-pyatspi
  # The real screen reader, with a speech server whose generic module writes what it says.
  orca speech-dispatcher
  clang libclang-rt-dev cppcheck
  # Access lists and extended attributes in the file-saving tests; the metainfo's validator.
  acl attr appstream
  # The Debian package: CPack's dependency scan (dpkg-shlibdeps, file), its check, a user driving
  # the installed program on Xvfb.
  dpkg-dev file lintian xdotool
)

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
