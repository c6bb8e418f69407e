#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Peak memory of one 100-megapixel conversion per destination format: a
# 10000 x 10000 JPEG made from photos of the batch is converted unattended
# and /usr/bin/time reports the whole program's peak RSS.
#
#   BENCH_DATA=/work/bench-data bash bench/big-picture.sh
#
# BUILD      the build folder holding src/trevasco (default build/perf)
# BIG_DIR    where the 100-MP JPEG is kept between runs (default /tmp/trevasco-big)
# BENCH_OUT  scratch folder for the outputs (default /dev/shm/trevasco-big-out)
#
# FORMATS    the destinations (default: bmp jpg gif png wmf emf webp avif jxl)
#
# Each destination is converted as stored and shrunk smoothly to 50 %. The
# budget a conversion should keep to: the decoded source (24 bits a pixel,
# 286 MiB) + the destination's own raster or record + a small constant; at
# 50 % the JPEG decodes at half size (72 MiB) when the destination is at most
# a third, otherwise whole.
set -euo pipefail
cd "$(dirname "$0")/.."
DATA="${BENCH_DATA:?set BENCH_DATA to the batch folder}"
BUILD="${BUILD:-build/perf}"
BIG="${BIG_DIR:-/tmp/trevasco-big}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-big-out}"
PROG="$BUILD/src/trevasco"
[[ -x "$PROG" ]] || { echo "no program at $PROG (build it first)" >&2; exit 1; }
PY="${PYTHON:-/usr/bin/python3}" # the system Python, which python3-pil serves
"$PY" -c 'import PIL' 2>/dev/null || { echo "Pillow (python3-pil) is needed to make the picture" >&2; exit 1; }

mkdir -p "$BIG"
if [[ ! -f "$BIG/photos.jpg" ]]; then
    # Sixteen photos of the batch, each brought to 2500 x 2500, in a 4 x 4
    # montage: photo detail everywhere. One photo enlarged by pixel sampling
    # is made of flat blocks, which libaom takes for screen content: a 4-MP
    # tile of it costs 440 MB and 14 s to encode, a tile of a photo about
    # 100 MB and under a second.
    "$PY" - "$DATA/jpeg" "$BIG/photos.jpg" <<'PY'
import pathlib, sys
from PIL import Image
photos = sorted(pathlib.Path(sys.argv[1]).glob("*.jpg"))[:16]
if len(photos) < 16:
    sys.exit("the batch needs 16 JPEG photos")
big = Image.new("RGB", (10000, 10000))
for i, path in enumerate(photos):
    with Image.open(path) as photo:
        big.paste(photo.convert("RGB").resize((2500, 2500), Image.LANCZOS),
                  (2500 * (i % 4), 2500 * (i // 4)))
big.save(sys.argv[2], quality=90)
PY
fi
trap 'rm -rf "$OUT"' EXIT

echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| destination | size | peak RSS MiB | seconds | CPU s | output MB |"
echo "|---|---|---:|---:|---:|---:|"
for fmt in ${FORMATS:-bmp jpg gif png wmf emf webp avif jxl}; do
    # As stored, and shrunk smoothly to half (JPEG shrink on load, then the filter).
    for resize in "" /RESIZE=50%; do
        rm -rf "$OUT"; mkdir -p "$OUT"
        args=("/SRC=$BIG" /MASK=photos.jpg "/DST=$OUT" "/DSTFORMAT=$fmt" /OVERRIDE /THREADS=1)
        [[ -n $resize ]] && args+=("$resize")
        /usr/bin/time -f '%M %e %U %S' -o "$OUT.time" "$PROG" "${args[@]}" /EXECUTE >/dev/null 2>&1 ||
            { echo "$fmt $resize: the conversion failed" >&2; exit 1; }
        read -r kb secs user sys <"$OUT.time"
        bytes=$(find "$OUT" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
        cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
        size="as stored"
        [[ -n $resize ]] && size="50 %"
        echo "| $fmt | $size | $((kb / 1024)) | $secs | $cpu | $bytes |"
    done
done
rm -f "$OUT.time"
