#!/usr/bin/env bash
# Renders launcher-icon.svg into launcher.ico: bitmaps of 16, 24, 32, 48, 64,
# 96, 128 and 192 pixels (32 bits per pixel with mask) and a 256-pixel PNG, in
# that order. Needs ImageMagick (convert) and icoutils (icotool). The .ico is
# committed; run this after changing the artwork.
set -euo pipefail
cd "$(dirname "$0")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Rendered large once and scaled down, which gives smoother small sizes.
convert -background none -density 288 launcher-icon.svg -resize 1024x1024 "$work/large.png"

bitmaps=()
for size in 16 24 32 48 64 96 128 192 256; do
  # No time stamps or other metadata, so that the result depends only on the
  # artwork.
  convert "$work/large.png" -filter Lanczos -resize "${size}x${size}" -strip \
    -define png:exclude-chunks=date,time "png32:$work/$size.png"
  ((size == 256)) || bitmaps+=("$work/$size.png")
done

icotool --create --output=launcher.ico "${bitmaps[@]}" --raw="$work/256.png"
icotool --list launcher.ico
