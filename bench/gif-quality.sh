#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# GIF colour quality and speed on the benchmark batch: JPEG -> GIF with 256
# colours and Floyd-Steinberg by the conversion engine (the octree, index 7,
# and the best-quality reduction, index 9), ImageMagick and Pillow (its median
# cut palette, then its Floyd-Steinberg mapping to that palette). Prints a
# Markdown table: PSNR of each GIF against the photo (dB) and its size, per
# photo, then the means, the summed sizes and the CPU seconds of each batch.
#
#   BENCH_DATA=<folder with jpeg/> bash bench/gif-quality.sh
#   ENGINE=build/release/bench/engine_batch (configure with -DTREVASCO_BENCH=ON)
# Needs imagemagick and python3-pil (measurement only).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
DATA="${BENCH_DATA:-$HERE/data}"
ENGINE="${ENGINE:-$HERE/../build/release/bench/engine_batch}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-gif-quality}"
PY=/usr/bin/python3 # Debian's, where python3-pil installs
IM=/usr/bin/convert

[[ -d "$DATA/jpeg" ]] || { echo "gif-quality: no $DATA/jpeg (bench/make-batch.sh)" >&2; exit 1; }
[[ -x "$ENGINE" ]] || { echo "gif-quality: build $ENGINE first" >&2; exit 1; }
rm -rf "$OUT"
mkdir -p "$OUT"/{octree,best,magick,pillow}

# CPU seconds (user + system of the process tree) of a command.
cpu() {
  local t TIMEFORMAT="%U %S"
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 | tail -1)
  awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%.2f", a[1] + a[2] }'
}

declare -A CPU
CPU[octree]=$(cpu "$ENGINE" "$DATA/jpeg" jpg "$OUT/octree" gif 100 0 - smooth 7)
CPU[best]=$(cpu "$ENGINE" "$DATA/jpeg" jpg "$OUT/best" gif 100 0 - smooth 9)
CPU[magick]=$(cpu bash -c "for f in '$DATA'/jpeg/*.jpg; do b=\$(basename \"\$f\" .jpg);
  '$IM' \"\$f\" -colors 256 -dither FloydSteinberg '$OUT/magick/'\"\$b\".gif; done")
CPU[pillow]=$(cpu "$PY" - "$DATA/jpeg" "$OUT/pillow" <<'PYEOF'
import os, sys
from PIL import Image
src, dst = sys.argv[1:3]
for name in sorted(os.listdir(src)):
    if name.endswith(".jpg"):
        im = Image.open(os.path.join(src, name)).convert("RGB")
        # quantize(256, dither=...) computes a palette but never dithers:
        # Pillow dithers only when mapping to a given palette.
        palette = im.quantize(256)
        im.quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG).save(
            os.path.join(dst, name[:-4] + ".gif"))
PYEOF
)
# Pillow's quantize and dither alone, without decoding and saving.
PILLOW_QUANTIZE=$("$PY" - "$DATA/jpeg" <<'PYEOF'
import os, sys, time
from PIL import Image
src = sys.argv[1]
total = 0.0
for name in sorted(os.listdir(src)):
    if name.endswith(".jpg"):
        im = Image.open(os.path.join(src, name)).convert("RGB")
        t = time.process_time()
        im.quantize(palette=im.quantize(256), dither=Image.Dither.FLOYDSTEINBERG)
        total += time.process_time() - t
print(f"{total:.2f}")
PYEOF
)

tools=(octree best magick pillow)
echo "| photo | octree (7) dB | best (9) dB | ImageMagick dB | Pillow dB | best − IM | octree KB | best KB | IM KB | Pillow KB |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
declare -A SUM SIZE
n=0
for f in "$DATA"/jpeg/*.jpg; do
  b=$(basename "$f" .jpg)
  read -r -a p <<<"$("$PY" "$HERE/gif_psnr.py" "$f" "$OUT/octree/$b.gif" "$OUT/best/$b.gif" \
    "$OUT/magick/$b.gif" "$OUT/pillow/$b.gif")"
  row="| $b"
  for i in 0 1 2 3; do
    row+=" | ${p[$i]}"
    SUM[${tools[$i]}]=$(awk -v a="${SUM[${tools[$i]}]:-0}" -v b="${p[$i]}" 'BEGIN { print a + b }')
  done
  row+=" | $(awk -v a="${p[1]}" -v b="${p[2]}" 'BEGIN { printf "%+.2f", a - b }')"
  for t in "${tools[@]}"; do
    s=$(stat -c %s "$OUT/$t/$b.gif")
    SIZE[$t]=$(( ${SIZE[$t]:-0} + s ))
    row+=" | $(( (s + 512) / 1024 ))"
  done
  echo "$row |"
  n=$((n + 1))
done
row="| **mean / total**"
for t in "${tools[@]}"; do
  row+=" | **$(awk -v s="${SUM[$t]}" -v n="$n" 'BEGIN { printf "%.2f", s / n }')**"
done
row+=" | "
for t in "${tools[@]}"; do row+=" | $(awk -v s="${SIZE[$t]}" 'BEGIN { printf "%.1f MB", s / 1e6 }')"; done
echo "$row |"
echo
echo "CPU seconds for the batch (JPEG decode, reduction, GIF encode): octree ${CPU[octree]}," \
  "best ${CPU[best]}, ImageMagick ${CPU[magick]}, Pillow ${CPU[pillow]}" \
  "(Pillow's quantize + dither alone: ${PILLOW_QUANTIZE})."
