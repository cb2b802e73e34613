#!/usr/bin/env bash
# Draws the stub's application icon (resources/dravex.ico) with ImageMagick:
# a teal rounded box, a white "D" and an amber arrow leaving the box, the
# picture of a package unpacking itself. One 32x32 image in 16 colours keeps
# the icon under 800 bytes of the stub; Windows scales it for small icons.
set -euo pipefail
out="${1:-$(dirname "$0")/../resources/dravex.ico}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 32x32 xc:none \
  -fill '#00806f' -stroke '#004d43' -strokewidth 1 -draw 'roundrectangle 1,4 24,29 4,4' \
  -fill white -stroke none -font DejaVu-Sans-Bold -pointsize 20 -draw "text 5,24 'D'" \
  -fill '#f0a000' -stroke '#805000' -strokewidth 1 -draw 'polygon 18,9 26,9 26,3 31,12 26,21 26,15 18,15' \
  "$tmp/icon.png"

# Four bits per pixel with a binary transparency mask.
convert "$tmp/icon.png" -channel A -threshold 50% +channel -colors 15 -type PaletteAlpha \
  -define bmp:format=bmp3 -compress none "$out"
ls -l "$out"
