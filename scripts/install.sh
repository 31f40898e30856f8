#!/usr/bin/env bash
# Installs a configured and built build folder under a prefix, stripped, and records in
# <build>/install_folders.txt the folders that the install made, which `make uninstall`
# (scripts/uninstall.sh) removes with the files of <build>/install_manifest.txt once they are empty.
# Folders recorded by an earlier install stay recorded.   scripts/install.sh <build> <prefix>
set -euo pipefail
build=$1
prefix=$(realpath -m -- "$2")
record="$build/install_folders.txt"

# The folders that the install fills, from an install into a staging folder.
stage=$(mktemp -d)
trap 'rm -rf "$stage" "$build/install_manifest_Unspecified.txt"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
made=$(cd "$stage" && find . -mindepth 1 -type d | cut -c2- |
  while IFS= read -r folder; do [ -e "$folder" ] || echo "$folder"; done)

cmake --install "$build" --prefix "$prefix" --strip
{ [ -f "$record" ] && cat "$record"; [ -n "$made" ] && echo "$made"; } | sort -u >"$record.new" || true
mv "$record.new" "$record"
