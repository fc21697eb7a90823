#!/usr/bin/env bash
# Draws the program's icon, src/app/kanade.ico: the character 奏 ("kanade")
# in white on a rounded indigo-to-teal tile, at the sizes Windows asks for.
set -euo pipefail
cd "$(dirname "$0")/.."

font=$(fc-match -f '%{file}' 'Noto Sans CJK JP:style=Bold')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

convert -size 256x256 xc:none \
  \( -size 256x256 gradient:'#3b2a8c-#1c8c8c' \) \
  \( -size 256x256 xc:black -fill white -draw 'roundrectangle 8,8 247,247 44,44' \) \
  -delete 0 -alpha off -compose CopyOpacity -composite "$work/tile.png"
convert "$work/tile.png" -font "$font" -pointsize 176 -fill white -gravity center \
  -annotate +0+6 '奏' "$work/icon.png"
convert "$work/icon.png" -depth 8 -define icon:auto-resize=256,48,32,24,16 src/app/kanade.ico
