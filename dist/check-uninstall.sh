#!/usr/bin/env bash
# `make install` then `make uninstall` (scripts/install.sh, scripts/uninstall.sh) of a build under
# ~/.local and under a prefix with a space and a quote, each in a folder that holds a file of its
# own: the uninstall leaves exactly the folders and files that were there before, with the home
# folder's own folders and the saved settings file, which it names.
#   dist/check-uninstall.sh <build>
set -euo pipefail
build=$(realpath "$1")
scripts=$(dirname "$(realpath "$0")")/../scripts
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*" >&2; exit 1; }
export HOME="$tmp/home" XDG_CONFIG_HOME=""
mkdir -p "$HOME/.local/share/other" "$tmp/with space"
touch "$HOME/.local/share/other/file" "$tmp/with space/file"

for prefix in "$HOME/.local" "$tmp/with space/Quindle's prefix"; do
  before=$(find "$tmp" | sort)
  bash "$scripts/install.sh" "$build" "$prefix" >/dev/null
  [ -L "$prefix/bin/quindle2" ] || fail "nothing was installed under $prefix"
  # A second install to the same prefix, as an update would be.
  bash "$scripts/install.sh" "$build" "$prefix" >/dev/null
  echo "[Morse]" >"$prefix/lib/quindle2/quindle2.ini"
  said=$(bash "$scripts/uninstall.sh" "$build")
  grep -qF "The settings stay in $prefix/lib/quindle2/quindle2.ini" <<<"$said" ||
    fail "the uninstall did not name the settings file: $said"
  expected=$(printf '%s\n' "$before" "$prefix/lib/quindle2" "$prefix/lib/quindle2/quindle2.ini")
  case "$prefix" in
    "$HOME/.local") expected=$(printf '%s\n' "$expected" "$HOME/.local/bin" "$HOME/.local/lib") ;;
    *) expected=$(printf '%s\n' "$expected" "$prefix" "$prefix/lib") ;;
  esac
  after=$(find "$tmp" | sort)
  [ "$after" = "$(sort <<<"$expected")" ] ||
    fail "after uninstalling from $prefix:$(diff <(sort <<<"$expected") <(echo "$after") || true)"
  rm -rf "$prefix/lib/quindle2"
done
[ ! -e "$build/install_manifest.txt" ] && [ ! -e "$build/install_folders.txt" ] || fail "the records stayed"
