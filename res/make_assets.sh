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

# The logo and the animation are drawn at design size (k = 1) and at twice that
# (k = 2, the "@2x" files), so that high display scales get sharp pictures.
# No time stamps: the same artwork gives the same bytes.
png_out() { echo "-define png:exclude-chunks=date,time PNG32:$1"; }

# Logo, 84 x 72 RGBA (kept as its bitmap only): a blue tile with a white "T" and an orbit, on transparency,
# drawn for the dark navigation bar.
draw_logo() {
  local k=$1 out=$2
  # shellcheck disable=SC2046
  convert -size $((84 * k))x$((72 * k)) xc:none \
    -fill '#0a7bd6' -draw "roundrectangle $((14 * k)),$((6 * k)) $((69 * k)),$((61 * k)) $((12 * k)),$((12 * k))" \
    -fill '#0088ff' -draw "roundrectangle $((14 * k)),$((6 * k)) $((69 * k)),$((57 * k)) $((12 * k)),$((12 * k))" \
    -stroke '#7fd3ff' -strokewidth $((2 * k)) -fill none -draw "ellipse $((42 * k)),$((34 * k)) $((38 * k)),$((12 * k)) 200,340" \
    -stroke none -fill white -font DejaVu-Sans-Bold -pointsize $((40 * k)) -gravity center \
    -annotate +0-$((2 * k)) T \
    -stroke '#7fd3ff' -strokewidth $((2 * k)) -fill none -draw "ellipse $((42 * k)),$((34 * k)) $((38 * k)),$((12 * k)) -20,160" \
    -stroke none -fill '#02c4fc' -draw "circle $((78 * k)),$((30 * k)) $((80 * k)),$((30 * k))" \
    $(png_out "$out")
}

# Connecting animation, 128 x 128 GIF89a: sixteen dots on a ring, a bright head
# running round with a fading tail; 16 frames of 60 ms, looping forever.
draw_connecting() {
  local k=$1 out=$2
  local frames=()
  for f in $(seq 0 15); do
    local args=()
    for d in $(seq 0 15); do
      age=$(( (f - d + 16) % 16 ))
      # Head full accent blue, the tail fading to a pale grey-blue.
      case $age in
        0) col='#0088ff'; r=7 ;; 1) col='#2f9dff'; r=6 ;; 2) col='#5cb2ff'; r=6 ;;
        3) col='#8ac6ff'; r=5 ;; 4) col='#b3d9ff'; r=5 ;; *) col='#dcebf8'; r=4 ;;
      esac
      r=$((r * k))
      x=$(awk -v d="$d" -v k="$k" 'BEGIN { printf "%.1f", k * (64 + 44 * sin(d * 3.14159265 / 8)) }')
      y=$(awk -v d="$d" -v k="$k" 'BEGIN { printf "%.1f", k * (64 - 44 * cos(d * 3.14159265 / 8)) }')
      args+=(-fill "$col" -draw "circle $x,$y $(awk -v x="$x" -v r="$r" 'BEGIN { print x + r }'),$y")
    done
    convert -size $((128 * k))x$((128 * k)) xc:white "${args[@]}" \
      -fill '#0088ff' -font DejaVu-Sans-Bold -pointsize $((22 * k)) -gravity center -annotate +0+0 TX \
      "$tmp/frame-$k-$f.png"
    frames+=("$tmp/frame-$k-$f.png")
  done
  convert -delay 6 -loop 0 "${frames[@]}" -layers Optimize "GIF:$out"
}

# The first frame of each picture as a bitmap, which Windows draws as it is:
# the window's first paint need not wait for a decoder. 8 bits a pixel (a
# palette) when the frame is opaque with at most 256 colours, else 32 bits with
# the alpha premultiplied, as AlphaBlend takes it. Bottom-up, uncompressed.
first_frame_bmp() {
  local in=$1 out=$2 size
  size=$(identify -format '%w %h' "$in[0]")
  # shellcheck disable=SC2086
  convert "$in[0]" -depth 8 RGBA:- | python3 -c '
import struct, sys
w, h, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
raw = sys.stdin.buffer.read()
assert len(raw) == w * h * 4
px = [raw[i:i + 4] for i in range(0, len(raw), 4)]
rows = [px[y * w:(y + 1) * w] for y in reversed(range(h))]
colours = sorted({p[:3] for p in px})
if all(p[3] == 255 for p in px) and len(colours) <= 256:
    index = {c: i for i, c in enumerate(colours)}
    palette = b"".join(bytes((c[2], c[1], c[0], 0)) for c in colours)
    pad = bytes(-w % 4)
    data = b"".join(bytes(index[p[:3]] for p in row) + pad for row in rows)
    bpp = 8
else:
    def pm(c, a):
        return (c * a + 127) // 255
    palette = b""
    data = b"".join(bytes((pm(p[2], p[3]), pm(p[1], p[3]), pm(p[0], p[3]), p[3]))
                    for row in rows for p in row)
    bpp = 32
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, len(data), 3780, 3780,
                   len(palette) // 4, 0)
offset = 14 + len(info) + len(palette)
with open(out, "wb") as f:
    f.write(b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset))
    f.write(info + palette + data)
' $size "$out"
}

draw_logo 1 "$tmp/logo.png"
draw_logo 2 "$tmp/logo@2x.png"
draw_connecting 1 connecting.gif
draw_connecting 2 connecting@2x.gif
first_frame_bmp "$tmp/logo.png" logo.bmp
first_frame_bmp "$tmp/logo@2x.png" logo@2x.bmp
first_frame_bmp connecting.gif connecting.bmp
first_frame_bmp connecting@2x.gif connecting@2x.bmp
