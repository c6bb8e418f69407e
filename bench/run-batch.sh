#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times whole-batch JPEG conversions through the conversion engine against the
# bare library (djpeg/cjpeg of libjpeg-turbo-progs) on the shared photo batch.
#
#   BENCH_DATA=/work/bench-data bash bench/run-batch.sh
#
# BENCH_DATA  the batch of bench/make-batch.sh (jpeg/ and bmp/ inside)
# BENCH_OUT   where the outputs go (default /dev/shm/trevasco-bench), rewritten each run
# RUNS        runs per cell (default 3); the median is reported
# TREVASCO    the program, to add its unattended run (JPEG->BMP; /EXECUTE ignores
#             the stored options, so the pixel format is "Device", 32 bits)
set -euo pipefail
cd "$(dirname "$0")/.."
DATA="${BENCH_DATA:?set BENCH_DATA to the batch folder}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-bench}"
RUNS="${RUNS:-3}"
BUILD="${BUILD:-build/bench-release}"

command -v djpeg >/dev/null || { echo "djpeg missing: apt-get install libjpeg-turbo-progs" >&2; exit 1; }

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTREVASCO_GUI=OFF -DTREVASCO_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target trevasco_engine >/dev/null
DRIVER="$BUILD/engine_batch"
g++ -std=c++20 -O2 -Isrc bench/engine_batch.cpp \
    "$BUILD"/src/libtrevasco_engine.a "$BUILD"/src/libtrevasco_formats.a \
    "$BUILD"/src/libtrevasco_png.a "$BUILD"/src/libtrevasco_gif.a "$BUILD"/src/libtrevasco_platform.a \
    -ljpeg $(pkg-config --libs libtiff-4 zlib cairo cairo-ft fontconfig freetype2) \
    $(pkg-config --exists libdeflate && pkg-config --libs libdeflate) -o "$DRIVER"

# "wall cpu" medians (seconds) of RUNS runs of "$@", output folder emptied before
# each. CPU time (user + system of the whole process tree) is the steadier
# figure on a shared machine; wall time is what a user waits.
time_cell() {
    local walls=() cpus=() w c
    for _ in $(seq "$RUNS"); do
        rm -rf "$OUT"; mkdir -p "$OUT"
        /usr/bin/time -f "%e %U %S" -o "$OUT.time" "$@" >/dev/null
        read -r w u s < "$OUT.time"
        walls+=("$w"); cpus+=("$(echo "$u + $s" | bc -l)")
    done
    local mid=$(( (RUNS + 1) / 2 ))
    echo "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n "${mid}p") $(printf '%s\n' "${cpus[@]}" | sort -n | sed -n "${mid}p")"
}

each_file() {  # each_file EXT COMMAND : runs COMMAND IN OUT-BASE for every file of the folder
    local ext=$1 cmd=$2
    for f in "$DATA"/"$ext"/*; do $cmd "$f" "$OUT/$(basename "${f%.*}")"; done
}
djpeg_bmp() { djpeg -bmp -outfile "$2.bmp" "$1"; }
cjpeg_q80() { cjpeg -quality 80 -outfile "$2.jpg" "$1"; }
export -f each_file djpeg_bmp cjpeg_q80
export DATA OUT

report() {
    local wall=$2 cpu=$3
    printf '| %-34s | %8.2f | %8.2f | %6.1f |\n' "$1" "$wall" "$cpu" "$(echo "76.05 / $cpu" | bc -l)"
}

echo "| conversion (16 photos, 76.05 MP) | wall s | CPU s | MP per CPU s |"
echo "|---|---:|---:|---:|"
report "djpeg -bmp (bare library)" $(time_cell bash -c "each_file jpeg djpeg_bmp")
report "engine JPEG->BMP pf24bit" $(time_cell "$DRIVER" "$DATA/jpeg" jpg "$OUT" bmp 100 6)
report "engine JPEG->BMP Device (32-bit)" $(time_cell "$DRIVER" "$DATA/jpeg" jpg "$OUT" bmp 100 0)
if [[ -n "${TREVASCO:-}" ]]; then
    report "trevasco /EXECUTE JPEG->BMP" $(time_cell "$TREVASCO" "/SRC=$DATA/jpeg" "/MASK=*.jpg" "/DST=$OUT" /DSTFORMAT=bmp /OVERRIDE /EXECUTE)
fi
report "cjpeg -quality 80 (bare library)" $(time_cell bash -c "each_file bmp cjpeg_q80")
report "engine BMP->JPEG q80" $(time_cell "$DRIVER" "$DATA/bmp" bmp "$OUT" jpg 80)
