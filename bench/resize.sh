#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Smooth shrinking and the modern encoders against the peers, timed in the
# same run on the same files, and written into bench/RESULTS.md (between the
# "resize.sh" markers).
#
#   BENCH_DATA=<batch folder> BUILD=build/release bash bench/resize.sh
#
# BENCH_DATA  the photo batch of bench/make-batch.sh (only jpeg/ is used)
# BUILD       the build folder holding src/trevasco (default build/release; not built here)
# RUNS        runs per cell (default 3): median wall time and median CPU time
# BENCH_OUT   scratch folder for the outputs (default /dev/shm/trevasco-resize)
# RESULTS     the report to update (default bench/RESULTS.md)
# SKIP_MODERN set to 1 to leave out the WebP/AVIF/JPEG XL table
#
# Peers, each where installed (benchmarking only, never a build dependency):
# Pillow (python3-pil), vipsthumbnail (libvips-tools), ImageMagick (imagemagick),
# cwebp (webp), heif-enc (libheif-examples), cjxl (libjxl-tools).
#
# Rows: JPEG -> PNG at 50 %, at 25 % and at 800 pixels wide. Pillow runs as
# resize(LANCZOS) of the whole decoded picture and as draft() (its DCT
# scaling) + resize(LANCZOS); vipsthumbnail shrinks on load by itself.
# "1 core" runs every program with one thread (Trevasco /THREADS=1,
# VIPS_CONCURRENCY=1, MAGICK_THREAD_LIMIT=1); "all cores" lets each use its
# default threading (Trevasco /THREADS=0). The quality column is the mean
# PSNR (RGB) of the outputs against Pillow's LANCZOS of the whole decoded
# picture at the same size, so the draft-less Pillow row is the reference.
set -euo pipefail
cd "$(dirname "$0")/.."
DATA="${BENCH_DATA:?set BENCH_DATA to the batch folder}"
BUILD="${BUILD:-build/release}"
RUNS="${RUNS:-3}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-resize}"
RESULTS="${RESULTS:-bench/RESULTS.md}"
PY="${PYTHON:-/usr/bin/python3}"
PROG="$BUILD/src/trevasco"
HERE="$(pwd)/bench"
export LC_ALL=C

[[ -x "$PROG" ]] || { echo "no program at $PROG (build it first)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time missing: apt-get install time" >&2; exit 1; }
"$PY" -c 'import PIL' 2>/dev/null || { echo "Pillow missing: apt-get install python3-pil" >&2; exit 1; }
SRC="$DATA/jpeg"
N=$(find "$SRC" -maxdepth 1 -name '*.jpg' | wc -l)
[[ $N -gt 0 ]] || { echo "no JPEG files in $SRC" >&2; exit 1; }
have() { command -v "$1" >/dev/null 2>&1; }
# ImageMagick 6's convert (the Debian package), not a stand-in of the same name.
IM=""
[[ -x /usr/bin/convert ]] && /usr/bin/convert -version 2>/dev/null | grep -q ImageMagick && IM=/usr/bin/convert

SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH" "$OUT"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure LABEL -- command...: RUNS runs into a fresh $OUT; sets WALL, CPU (medians) and BYTES.
measure() {
    local label=$1; shift
    local walls=() cpus=()
    for _ in $(seq "$RUNS"); do
        rm -rf "$OUT"; mkdir -p "$OUT"
        local t0 t1
        t0=$(date +%s.%N)
        if ! /usr/bin/time -f '%U %S' -o "$SCRATCH/time" "$@" >"$SCRATCH/log" 2>&1; then
            echo "$label failed:" >&2; cat "$SCRATCH/log" >&2; exit 1
        fi
        t1=$(date +%s.%N)
        walls+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
        cpus+=("$(awk '{ printf "%.2f", $1 + $2 }' "$SCRATCH/time")")
    done
    WALL=$(printf '%s\n' "${walls[@]}" | median)
    CPU=$(printf '%s\n' "${cpus[@]}" | median)
    BYTES=$(find "$OUT" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
    local n
    n=$(find "$OUT" -type f | wc -l)
    [[ $n -eq $N ]] || { echo "$label: $n outputs for $N inputs" >&2; cat "$SCRATCH/log" >&2; exit 1; }
    echo "$label: wall $WALL s (${walls[*]}), CPU $CPU s" >&2
}

# vipsthumbnail and ImageMagick, one process per file, as their users run them.
cat >"$SCRATCH/vips.sh" <<'EOF'
size=$1 src=$2 dst=$3
for f in "$src"/*.jpg; do
    w=$(vipsheader -f width "$f")
    case $size in *%) tw=$((w * ${size%\%} / 100)) ;; *) tw=$size ;; esac
    # Width given, height free: the proportions are kept.
    vipsthumbnail "$f" --size "${tw}x" -o "$dst/%s.png[compression=6]"
done
EOF
cat >"$SCRATCH/im.sh" <<'EOF'
im=$1 size=$2 src=$3 dst=$4
for f in "$src"/*.jpg; do
    b=$(basename "$f" .jpg)
    case $size in *%) geo=$size ;; *) geo="${size}x" ;; esac
    "$im" "$f" -filter Lanczos -resize "$geo" -quality 75 "$dst/$b.png"
done
EOF

resize_row() { # id size threads-mode
    local size=$1 cores=$2 row=()
    local tthreads=/THREADS=1
    if [[ $cores == all ]]; then
        tthreads=/THREADS=0; unset VIPS_CONCURRENCY MAGICK_THREAD_LIMIT OMP_NUM_THREADS
    else
        export VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
    fi
    local switch="/RESIZE=$size"
    [[ $size == *% ]] || switch="/RESIZE=${size}x"
    local ref="$SCRATCH/ref"
    mkdir -p "$ref"
    measure "trevasco $size $cores" "$PROG" "/SRC=$SRC" /MASK=*.jpg "/DST=$OUT" /DSTFORMAT=png \
        "$switch" /RESAMPLE=smooth /OVERRIDE "$tthreads" /EXECUTE
    local tw=$WALL tc=$CPU tq
    tq=$("$PY" "$HERE/resize_psnr.py" "$SRC" "$OUT" "$ref")
    row+=("| $size | $cores | **$tw** | $tc | $tq")
    local cells=""
    for peer in pil pildraft vips im; do
        case $peer in
        pil)
            [[ $cores == all ]] && { cells+=" | — | — | —"; continue; }
            measure "Pillow $size" "$PY" "$HERE/pil_resize.py" full "$size" "$SRC" "$OUT" ;;
        pildraft)
            [[ $cores == all ]] && { cells+=" | — | — | —"; continue; }
            measure "Pillow draft $size" "$PY" "$HERE/pil_resize.py" draft "$size" "$SRC" "$OUT" ;;
        vips)
            have vipsthumbnail || { cells+=" | — | — | —"; continue; }
            measure "vipsthumbnail $size $cores" bash "$SCRATCH/vips.sh" "$size" "$SRC" "$OUT" ;;
        im)
            [[ -n $IM ]] || { cells+=" | — | — | —"; continue; }
            measure "ImageMagick $size $cores" bash "$SCRATCH/im.sh" "$IM" "$size" "$SRC" "$OUT" ;;
        esac
        local q
        q=$("$PY" "$HERE/resize_psnr.py" "$SRC" "$OUT" "$ref")
        cells+=" | $WALL ($(awk -v a="$WALL" -v b="$tw" 'BEGIN { printf "%.2f", a / b }')×) | $CPU | $q"
    done
    ROWS+=("${row[0]}$cells |")
}

modern_row() { # fmt
    local fmt=$1 peer
    export VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
    measure "trevasco $fmt" "$PROG" "/SRC=$SRC" /MASK=*.jpg "/DST=$OUT" "/DSTFORMAT=$fmt" /QUALITY=80 \
        /OVERRIDE /THREADS=1 /EXECUTE
    local tw=$WALL tc=$CPU tb=$BYTES
    case $fmt in
    webp) peer="cwebp -q 80"; have cwebp || peer="" ;;
    avif) peer="heif-enc -A -q 80"; have heif-enc || peer="" ;;
    jxl) peer="cjxl -q 80 --lossless_jpeg=0"; have cjxl || peer="" ;;
    esac
    if [[ -z $peer ]]; then
        MROWS+=("| $fmt | $tw | $tc | $tb | — | — | — | — |")
        return
    fi
    cat >"$SCRATCH/enc.sh" <<EOF
for f in "$SRC"/*.jpg; do
    b=\$(basename "\$f" .jpg)
    case "$fmt" in
    webp) cwebp -quiet -q 80 "\$f" -o "$OUT/\$b.webp" ;;
    avif) heif-enc -A -q 80 "\$f" -o "$OUT/\$b.avif" ;;
    jxl) cjxl "\$f" "$OUT/\$b.jxl" -q 80 --lossless_jpeg=0 --num_threads=0 ;;
    esac
done
EOF
    measure "$peer" bash "$SCRATCH/enc.sh"
    MROWS+=("| $fmt | $tw | $tc | $tb | \`$peer\` | $WALL | $CPU | $BYTES |")
}

ROWS=() MROWS=()
LOAD_RESIZE="$(cut -d' ' -f1-3 /proc/loadavg)"
for cores in 1 all; do
    for size in 50% 25% 800; do
        resize_row "$size" "$cores"
    done
done
LOAD_RESIZE_END="$(cut -d' ' -f1-3 /proc/loadavg)"
LOAD_MODERN="-"
if [[ ${SKIP_MODERN:-0} != 1 ]]; then
    LOAD_MODERN="$(cut -d' ' -f1-3 /proc/loadavg)"
    for fmt in webp avif jxl; do modern_row "$fmt"; done
fi

{
    echo "<!-- resize.sh begin: generated, rerun bench/resize.sh instead of editing -->"
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bench/resize.sh\`, commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'),"
    echo "$RUNS runs a cell (median), $N photos of \`$SRC\`; $(getconf _NPROCESSORS_ONLN) CPUs,"
    echo "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo). Load average at the start of the resize table"
    echo "$LOAD_RESIZE, at its end $LOAD_RESIZE_END; at the start of the encoder table $LOAD_MODERN."
    echo "Pillow $("$PY" -c 'import PIL; print(PIL.__version__)'), $(vipsthumbnail --vips-version 2>/dev/null | head -1 || echo 'no libvips'),"
    echo "$([[ -n $IM ]] && "$IM" -version | head -1 | cut -d' ' -f2-3 || echo 'no ImageMagick')."
    echo
    echo "JPEG → PNG with smooth shrinking. Seconds are wall time (peer ÷ Trevasco in brackets), CPU is user + system"
    echo "seconds, PSNR in dB against Pillow's LANCZOS of the whole decoded picture (that row is the reference itself)."
    echo
    echo "| size | cores | Trevasco s | CPU s | PSNR | Pillow LANCZOS s | CPU s | PSNR | Pillow draft+LANCZOS s | CPU s | PSNR | vipsthumbnail s | CPU s | PSNR | ImageMagick s | CPU s | PSNR |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    printf '%s\n' "${ROWS[@]}"
    if [[ ${#MROWS[@]} -gt 0 ]]; then
        echo
        echo "JPEG → modern formats at quality 80, one thread, each program's default effort:"
        echo
        echo "| format | Trevasco s | CPU s | MB | peer | peer s | CPU s | MB |"
        echo "|---|---:|---:|---:|---|---:|---:|---:|"
        printf '%s\n' "${MROWS[@]}"
    fi
    echo "<!-- resize.sh end -->"
} >"$SCRATCH/table"

if [[ -f "$RESULTS" ]] && grep -q '<!-- resize.sh begin' "$RESULTS"; then
    awk -v table="$SCRATCH/table" '
        /<!-- resize.sh begin/ { while ((getline l < table) > 0) print l; skip = 1; next }
        /<!-- resize.sh end/ { skip = 0; next }
        !skip { print }
    ' "$RESULTS" >"$SCRATCH/results"
    cat "$SCRATCH/results" >"$RESULTS"
else
    { echo; cat "$SCRATCH/table"; } >>"$RESULTS"
fi
cat "$SCRATCH/table"
echo "wrote $RESULTS" >&2
