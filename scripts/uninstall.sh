#!/usr/bin/env bash
# Removes what scripts/install.sh installed from a build folder: the files and links of
# <build>/install_manifest.txt, then the folders of <build>/install_folders.txt that it made, deepest
# first, when they are empty. A folder that holds anything else stays, and so do the home folder's
# own ($HOME, ~/.local and its bin, lib, share and state) even when the install made them. Says
# where the settings files stay.   scripts/uninstall.sh <build>
set -euo pipefail
build=$1
manifest="$build/install_manifest.txt"
record="$build/install_folders.txt"
[ -f "$manifest" ] || { echo "Nothing to uninstall: $manifest is missing (make install writes it)." >&2; exit 1; }

settings=()
while IFS= read -r file || [ -n "$file" ]; do
  [ -n "$file" ] || continue
  # Beside a program in a folder of its own, its settings file.
  case "$file" in */lib/quindle2/quindle2) settings+=("$file.ini") ;; esac
  if [ -f "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file"
    echo "Removed $file"
  fi
done <"$manifest"

keep=("$HOME" "$HOME/.local" "$HOME/.local/bin" "$HOME/.local/lib" "$HOME/.local/share" "$HOME/.local/state")
[ -f "$record" ] && sort -r "$record" | while IFS= read -r folder; do
  for kept in "${keep[@]}"; do [ "$folder" = "$(realpath -m -- "$kept")" ] && continue 2; done
  rmdir -- "$folder" 2>/dev/null && echo "Removed $folder/" || true
done
rm -f -- "$manifest" "$record"

config=${XDG_CONFIG_HOME:-}
[[ "$config" == /* ]] || config="$HOME/.config"
settings+=("$config/quindle2/quindle2.ini")
for file in "${settings[@]}"; do
  [ -e "$file" ] && echo "The settings stay in $file; remove it too if they are no longer wanted."
done
exit 0
