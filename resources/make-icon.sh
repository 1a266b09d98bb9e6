#!/usr/bin/env bash
# Draws Kelvane's icon and packs it as resources/kelvane.ico: seven 24-bit
# images of 256, 128, 96, 48, 32, 24 and 16 pixels, each scaled from one
# 256-pixel drawing. Run it again after changing the drawing and commit both.
#   resources/make-icon.sh
# Needs ImageMagick (/usr/bin/convert; other "convert" programs on PATH are not
# ImageMagick) and icoutils (icotool).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
convert=/usr/bin/convert
sizes="256 128 96 48 32 24 16"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A blue tile with a white check mark: the machine has been provisioned.
"$convert" -size 256x256 xc:'#1d5fa6' \
  -fill '#2f7fd0' -draw 'roundrectangle 16,16 239,239 40,40' \
  -fill none -stroke '#ffffff' -strokewidth 30 -draw 'stroke-linecap round stroke-linejoin round polyline 64,132 108,176 192,84' \
  -alpha off -depth 8 -strip "PNG24:$work/master.png"

images=()
for size in $sizes; do
  # Truecolour PNGs without alpha or metadata: icotool turns each into a
  # 24-bit icon image, and the result does not change from run to run.
  "$convert" "$work/master.png" -resize "${size}x${size}" \
    -alpha off -depth 8 -strip "PNG24:$work/$size.png"
  images+=("$work/$size.png")
done

# Every image as a 24-bit bitmap, the 256-pixel one too: a PNG-compressed
# entry would be listed with 32 bits per pixel.
icotool --create --bit-depth=24 --output="$here/kelvane.ico" "${images[@]}"
icotool --list "$here/kelvane.ico"
