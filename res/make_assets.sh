#!/usr/bin/env bash
# Draws the program's images with ImageMagick. The results are committed; run
# this again only to change the artwork.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Application icon: a blue rounded tile with a white "T", in the sizes Windows asks for.
for s in 16 32 48 256; do
  r=$((s / 5))
  convert -size ${s}x${s} xc:none \
    -fill '#0088ff' -draw "roundrectangle 0,0 $((s - 1)),$((s - 1)) $r,$r" \
    -fill white -font DejaVu-Sans-Bold -pointsize $((s * 3 / 4)) -gravity center \
    -annotate +0+$((s / 24)) T "$tmp/icon-$s.png"
done
convert "$tmp"/icon-16.png "$tmp"/icon-32.png "$tmp"/icon-48.png "$tmp"/icon-256.png tarnix.ico
