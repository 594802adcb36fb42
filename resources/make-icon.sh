#!/usr/bin/env bash
# Draws Sarvelt's icon (a page with text lines and an arrow: "rewrite the file") with
# ImageMagick and writes resources/sarvelt.ico at 256, 48, 32, 24 and 16 pixels. The .ico is
# committed; run this only to change the picture.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
  -fill '#1f5fa8' -draw "roundrectangle 8,8 247,247 40,40" \
  -fill white -draw "polygon 60,40 160,40 200,80 200,216 60,216" \
  -fill '#cfd8e3' -draw "polygon 160,40 160,80 200,80" \
  -stroke '#7a8aa0' -strokewidth 8 \
  -draw "line 80,100 180,100" -draw "line 80,128 180,128" -draw "line 80,156 150,156" \
  -stroke none -fill '#f08a24' -draw "circle 170,180 170,120" \
  -fill white -draw "polygon 140,172 182,172 182,156 210,182 182,208 182,192 140,192" \
  -depth 8 "$tmp/icon.png"
convert "$tmp/icon.png" -depth 8 -define icon:auto-resize=256,48,32,24,16 sarvelt.ico
