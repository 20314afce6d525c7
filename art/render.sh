#!/bin/sh
# Regenerate the PNG icons in app/icons/ from the SVG sources in art/.
# Needs rsvg-convert (Debian/Ubuntu package: librsvg2-bin).
set -e
here=$(cd "$(dirname "$0")" && pwd)
out="$here/../app/icons"
mkdir -p "$out"
for size in 32 48 256; do
    rsvg-convert -w "$size" -h "$size" "$here/kelvara.svg" -o "$out/kelvara-$size.png"
done
rsvg-convert -w 48 -h 48 "$here/bin.svg" -o "$out/bin-48.png"
echo "PNG icons written to $out"
