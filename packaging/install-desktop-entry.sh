#!/usr/bin/env bash
# Puts Kelvara into the desktop menu of the user who runs it: a desktop entry that starts the
# program from the folder this script lies in, and the icons in the user's hicolor theme.
# Run it again after moving the program folder.
# Usage: install-desktop-entry.sh [--remove]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}
entry="$data/applications/kelvara.desktop"
icons=("$data/icons/hicolor/32x32/apps/kelvara.png"
       "$data/icons/hicolor/48x48/apps/kelvara.png"
       "$data/icons/hicolor/scalable/apps/kelvara.svg")

if [ "${1:-}" = "--remove" ]; then
    rm -f "$entry" "${icons[@]}"
    echo "Removed the desktop entry and the icons; delete $here to remove the program."
else
    mkdir -p "$(dirname "$entry")" "$data/icons/hicolor/32x32/apps" \
        "$data/icons/hicolor/48x48/apps" "$data/icons/hicolor/scalable/apps"
    # Desktop entries quote paths with blanks in double quotes.
    sed "s|@KELVARA_EXEC@|\"$here/kelvara\"|" "$here/share/kelvara.desktop.in" > "$entry"
    cp "$here/share/icons/kelvara-32.png" "${icons[0]}"
    cp "$here/share/icons/kelvara-48.png" "${icons[1]}"
    cp "$here/share/icons/kelvara.svg" "${icons[2]}"
    echo "Installed $entry and the icons for $here/kelvara."
fi
command -v update-desktop-database >/dev/null && update-desktop-database -q "$data/applications" || true
command -v gtk-update-icon-cache >/dev/null && gtk-update-icon-cache -q -t "$data/icons/hicolor" || true
