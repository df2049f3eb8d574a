#!/usr/bin/env bash
# Draws the program icon of every Windows program of the toolset (the
# console ones too, see resources/program.rc) and writes patch.ico next to
# this script: 16x16, 24x24, 32x32, 48x48 and 256x256 frames, 32-bit with
# alpha, every one stored as PNG, as Windows takes them since Vista. As
# bitmaps the four small ones would weigh 17.5 KiB and the large one
# 256 KiB, in every program and every self-applying patch.
#   Usage: bash winapplier/make_icon.sh [OUTPUT.ico]
# The picture: a blue rounded square holding a white page with a folded
# corner, crossed by a green adhesive strip (the "patch"). Every frame is
# drawn on a 256x256 canvas and scaled down by area averaging; the 16x16 and
# 24x24 frames leave out the text lines and the strip's pad, which would
# only blur at those sizes.
# Needs ImageMagick 6 (`convert`).
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$HERE/patch.ico}
command -v convert >/dev/null || { echo "make_icon: ImageMagick 'convert' not found" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

BLUE='#2f6db4'        # background
BLUE_EDGE='#23558f'   # background border
FOLD='#c9dcf1'        # folded page corner
LINES='#9db8d8'       # text lines on the page
GREEN='#3aa54a'       # strip
GREEN_EDGE='#2a7d37'
PAD='#e8f6ea'         # strip's middle pad

# draw SIZE DETAIL(0/1) FILE
draw() {
  local size=$1 detail=$2 file=$3
  local -a extra=()
  if [ "$detail" -eq 1 ]; then
    extra+=(-fill "$LINES" -stroke none
            -draw 'roundrectangle 84,92 150,104 6,6'
            -draw 'roundrectangle 84,120 172,132 6,6'
            -draw 'roundrectangle 84,148 172,160 6,6')
  fi
  # Page edges sit on multiples of 16 so the 16x16 frame keeps them sharp.
  local -a strip=(-fill "$GREEN" -stroke "$GREEN_EDGE" -strokewidth 6
                  -draw 'translate 148,172 rotate -45 roundrectangle -96,-30 96,30 30,30')
  if [ "$detail" -eq 1 ]; then
    strip+=(-fill "$PAD" -stroke none
            -draw 'translate 148,172 rotate -45 roundrectangle -30,-20 30,20 8,8'
            -fill "$GREEN"
            -draw 'translate 148,172 rotate -45 circle -12,-8 -7,-8'
            -draw 'translate 148,172 rotate -45 circle 12,-8 17,-8'
            -draw 'translate 148,172 rotate -45 circle -12,8 -7,8'
            -draw 'translate 148,172 rotate -45 circle 12,8 17,8')
  fi
  convert -size 256x256 xc:none \
    -fill "$BLUE" -stroke "$BLUE_EDGE" -strokewidth 8 \
    -draw 'roundrectangle 6,6 249,249 48,48' \
    -fill white -stroke none \
    -draw 'polygon 64,32 160,32 192,64 192,224 64,224' \
    -fill "$FOLD" -draw 'polygon 160,32 160,64 192,64' \
    "${extra[@]}" \
    "${strip[@]}" \
    -filter Box -resize "${size}x${size}" \
    -depth 8 -strip -define png:color-type=6 "$WORK/frame.png"
  # The smallest PNG of deflate level 9 with each of ImageMagick's filters
  # (-quality 9F).
  local filter
  for filter in 0 1 2 3 4 5 6 7 8 9; do
    convert "$WORK/frame.png" -depth 8 -strip -define png:color-type=6 -quality "9$filter" "$WORK/try.png"
    if [ ! -e "$file" ] || [ "$(stat -c %s "$WORK/try.png")" -lt "$(stat -c %s "$file")" ]; then
      mv "$WORK/try.png" "$file"
    fi
  done
}

# le16 N / le32 N: N as little-endian bytes (printf escapes).
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '%s%s' "$(le16 $(($1 & 65535)))" "$(le16 $(($1 >> 16)))"; }

# write_ico OUT SIZE=PNG...: an icon file of the PNG frames as they are.
write_ico() {
  local out=$1 frame size png offset
  shift
  offset=$((6 + 16 * $#))
  {
    printf "\\x00\\x00$(le16 1)$(le16 $#)"
    for frame in "$@"; do
      size=${frame%%=*} png=${frame#*=}
      # Width and height 0 stand for 256; no palette; 1 plane of 32 bits.
      printf "$(printf '\\x%02x' $((size & 255)))$(printf '\\x%02x' $((size & 255)))\\x00\\x00"
      printf "$(le16 1)$(le16 32)$(le32 "$(stat -c %s "$png")")$(le32 $offset)"
      offset=$((offset + $(stat -c %s "$png")))
    done
    for frame in "$@"; do cat "${frame#*=}"; done
  } >"$out"
}

draw 16 0 "$WORK/16.png"
draw 24 0 "$WORK/24.png"
draw 32 1 "$WORK/32.png"
draw 48 1 "$WORK/48.png"
draw 256 1 "$WORK/256.png"
write_ico "$OUT" 16="$WORK/16.png" 24="$WORK/24.png" 32="$WORK/32.png" 48="$WORK/48.png" 256="$WORK/256.png"
echo "make_icon: wrote $OUT"
