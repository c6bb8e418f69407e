#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times the unattended program (trevasco ... /EXECUTE) on every whole-batch
# conversion of the peer comparison and writes the table, with ratios against
# the peers' published figures, into bench/RESULTS.md.
#
#   BENCH_DATA=/work/bench-data bash bench/compare.sh [conversion ids...]
#
# BENCH_DATA  the photo batch of bench/make-batch.sh (jpeg/ png/ bmp/ gif/ tiff/)
# BUILD       the build folder holding src/trevasco (default build/perf; not built here)
# PEERS_MD    the peers' figures (default ../shared/bench/PEERS.md)
# RUNS        runs per row (default 3); the median wall time is reported
# BENCH_OUT   scratch folder for the outputs (default /dev/shm/trevasco-compare)
# RESULTS     the report to update (default bench/RESULTS.md); only the part between
#             the "compare.sh" markers is rewritten, notes around it are kept
#
# PILLOW_HERE set to 1: Pillow (pil_batch.py beside PEERS_MD, python3-pil) is
#             timed here as well, run for run after the program, and gets its
#             own columns: the published figures come from another day's machine.
#
# Conversion ids: jpg2png jpg2bmp jpg2gif jpg2jpg png2jpg gif2png tif2png bmp2png.
# Every program runs on one core: the program with /THREADS=1 (its default is one file
# per core), the peers through their thread variables.
set -euo pipefail
cd "$(dirname "$0")/.."
DATA="${BENCH_DATA:?set BENCH_DATA to the batch folder}"
BUILD="${BUILD:-build/perf}"
PEERS_MD="${PEERS_MD:-../shared/bench/PEERS.md}"
RUNS="${RUNS:-3}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-compare}"
RESULTS="${RESULTS:-bench/RESULTS.md}"
PILLOW_HERE="${PILLOW_HERE:-0}"
PIL_BATCH="$(dirname "$PEERS_MD")/pil_batch.py"
PY="${PYTHON:-/usr/bin/python3}" # the system Python, which python3-pil serves
PROG="$BUILD/src/trevasco"
export OMP_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1 VIPS_CONCURRENCY=1 LC_ALL=C

[[ -x "$PROG" ]] || { echo "no program at $PROG (build it first)" >&2; exit 1; }
[[ -f "$PEERS_MD" ]] || { echo "no peer figures at $PEERS_MD" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time missing: apt-get install time" >&2; exit 1; }

ALL=(jpg2png jpg2bmp jpg2gif jpg2jpg png2jpg gif2png tif2png bmp2png)
CONVS=("$@")
[[ ${#CONVS[@]} -gt 0 ]] || CONVS=("${ALL[@]}")

SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH" "$OUT" "$OUT.pil"' EXIT
# The JPEG rows are compared at quality 80; the program's own default is 100.
printf '[Jpeg]\nCompression=80\n' >"$SCRATCH/q80.ini"

# conversion id -> source folder, mask, destination format, extra switches, PEERS.md row label
row_setup() {
    case $1 in
    jpg2png) echo "jpeg|*.jpg|png||JPEG → PNG (" ;;
    jpg2bmp) echo "jpeg|*.jpg|bmp||JPEG → BMP (" ;;
    jpg2gif) echo "jpeg|*.jpg|gif||JPEG → GIF (" ;;
    jpg2jpg) echo "jpeg|*.jpg|jpg|/SETTINGS=$SCRATCH/q80.ini|JPEG → JPEG (" ;;
    png2jpg) echo "png|*.png|jpg|/SETTINGS=$SCRATCH/q80.ini|PNG → JPEG (" ;;
    gif2png) echo "gif|*.gif|png||GIF → PNG (" ;;
    tif2png) echo "tiff|*.tif*|png||TIFF (LZW) → PNG" ;;
    bmp2png) echo "bmp|*.bmp|png||BMP → PNG" ;;
    *) echo "unknown conversion id $1" >&2; exit 2 ;;
    esac
}

# The overview row of PEERS.md: "IM GM vips Pillow bound" seconds, "-" where there is none.
peer_row() {
    awk -F'|' -v key="$1" '
        /^### / { if (seen) exit }
        /Overview: single-threaded/ { seen = 1 }
        seen && index($2, " " key) == 1 {
            out = ""
            for (i = 3; i <= 6; ++i) out = out " " num($i)
            print out " " num($8); exit
        }
        function num(s) { gsub(/\*/, "", s); if (match(s, /[0-9]+\.[0-9]+/)) return substr(s, RSTART, RLENGTH); return "-" }
    ' "$PEERS_MD"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { [[ $2 == - ]] && echo "—" || awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

ROWS=()
for conv in "${CONVS[@]}"; do
    IFS='|' read -r dir mask fmt extra label <<<"$(row_setup "$conv")"
    read -r im gm vips pil bound <<<"$(peer_row "$label")"
    [[ -n "$pil" ]] || { echo "no figures for '$label' in $PEERS_MD" >&2; exit 1; }
    n_in=$(find "$DATA/$dir" -maxdepth 1 -type f -name "$mask" | wc -l)
    times=() cpus=() rss=0 pil_times=()
    for _ in $(seq "$RUNS"); do
        rm -rf "$OUT"; mkdir -p "$OUT"
        args=("/SRC=$DATA/$dir" "/MASK=$mask" "/DST=$OUT" "/DSTFORMAT=$fmt" /OVERRIDE /THREADS=1)
        [[ -n "$extra" ]] && args+=("$extra")
        t0=$(date +%s.%N)
        if ! /usr/bin/time -v -o "$SCRATCH/time" "$PROG" "${args[@]}" /EXECUTE >"$SCRATCH/log" 2>&1; then
            echo "$conv: the program failed:" >&2; cat "$SCRATCH/log" >&2; exit 1
        fi
        t1=$(date +%s.%N)
        n_out=$(find "$OUT" -maxdepth 1 -type f | wc -l)
        [[ $n_out -eq $n_in ]] || { echo "$conv: $n_out outputs for $n_in inputs" >&2; exit 1; }
        times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
        cpus+=("$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.3f", s }' "$SCRATCH/time")")
        kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$SCRATCH/time")
        ((kb > rss)) && rss=$kb
        if [[ $PILLOW_HERE == 1 ]]; then
            rm -rf "$OUT.pil"; mkdir -p "$OUT.pil"
            p0=$(date +%s.%N)
            "$PY" "$PIL_BATCH" "$conv" "$DATA/$dir" "$OUT.pil" >/dev/null 2>&1 ||
                { echo "$conv: Pillow failed" >&2; exit 1; }
            p1=$(date +%s.%N)
            pil_times+=("$(awk -v a="$p0" -v b="$p1" 'BEGIN { printf "%.3f", b - a }')")
            rm -rf "$OUT.pil"
        fi
    done
    med=$(printf '%s\n' "${times[@]}" | median)
    cpu=$(printf '%s\n' "${cpus[@]}" | median)
    lo=$(printf '%s\n' "${times[@]}" | sort -g | head -1)
    hi=$(printf '%s\n' "${times[@]}" | sort -g | tail -1)
    best=$(printf '%s\n' "$im" "$gm" "$vips" "$pil" | grep -v '^-$' | sort -g | head -1)
    bytes=$(find "$OUT" -maxdepth 1 -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }')
    # One hash over the sorted per-file hashes pins the output bytes of the row.
    digest=$(cd "$OUT" && sha256sum -- * | sort -k2 | sha256sum | cut -c1-16)
    mps=$(awk -v t="$med" 'BEGIN { printf "%.1f", 76.05 / t }')
    here=""
    if [[ $PILLOW_HERE == 1 ]]; then
        pil_med=$(printf '%s\n' "${pil_times[@]}" | median)
        here=" $pil_med | $(ratio "$pil_med" "$med") |"
    fi
    ROWS+=("| ${label%% (} | **$med** | $lo–$hi | $cpu | $mps | $((rss / 1024)) | $bytes | $im | $gm | $vips | $pil | $(ratio "$best" "$med") | $(ratio "$best" "$cpu") | $bound | $(ratio "$med" "$bound") | $(ratio "$cpu" "$bound") |$here \`$digest\` |")
    echo "$conv: median $med s (runs ${times[*]}; CPU ${cpus[*]}), peak RSS $((rss / 1024)) MiB" >&2
done

{
    echo "<!-- compare.sh begin: generated, rerun bench/compare.sh instead of editing -->"
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bench/compare.sh\`, commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
    echo "($(git status --porcelain -- src 2>/dev/null | wc -l) changed source files in the tree), $RUNS runs a row."
    echo
    echo "- Machine: $(getconf _NPROCESSORS_ONLN) CPUs, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),"
    echo "  $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM; load average at the start $(cut -d' ' -f1-3 /proc/loadavg)."
    echo "- Libraries: libjpeg62-turbo $(dpkg-query -W -f='${Version}' libjpeg62-turbo 2>/dev/null || echo '?'),"
    echo "  zlib1g $(dpkg-query -W -f='${Version}' zlib1g 2>/dev/null || echo '?'),"
    echo "  libdeflate0 $(dpkg-query -W -f='${Version}' libdeflate0 2>/dev/null || echo 'not installed'),"
    echo "  libtiff6 $(dpkg-query -W -f='${Version}' libtiff6 2>/dev/null || echo '?'); $(c++ --version | head -1), Release build."
    echo "- Peers (ImageMagick, GraphicsMagick, libvips, Pillow) and the bound are the single-threaded medians"
    echo "  of \`$PEERS_MD\`, measured on the same kind of machine; those columns were not re-timed."
    echo "- \"CPU s\" is user + system time of the program (median). The peers' single-threaded runs had CPU"
    echo "  time equal to wall time within a few per cent, so on a busy machine the CPU ratios are the fair ones."
    if [[ $PILLOW_HERE == 1 ]]; then
        echo "- \"Pillow here\": Pillow $("$PY" -c 'import PIL; print(PIL.__version__)' 2>/dev/null || echo '?') timed on this machine right after each"
        echo "  run of the program (\`$(basename "$PIL_BATCH")\`, median wall time)."
        echo
        echo "| conversion | Trevasco median s | min–max s | CPU s | MP/s | peak RSS MiB | output MB | IM | GM | vips | Pillow | best peer ÷ Trevasco (wall) | best peer ÷ Trevasco (CPU) | bound s | Trevasco ÷ bound (wall) | Trevasco ÷ bound (CPU) | Pillow here s | Pillow here ÷ Trevasco | output hash |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    else
        echo
        echo "| conversion | Trevasco median s | min–max s | CPU s | MP/s | peak RSS MiB | output MB | IM | GM | vips | Pillow | best peer ÷ Trevasco (wall) | best peer ÷ Trevasco (CPU) | bound s | Trevasco ÷ bound (wall) | Trevasco ÷ bound (CPU) | output hash |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    fi
    printf '%s\n' "${ROWS[@]}"
    echo "<!-- compare.sh end -->"
} >"$SCRATCH/table"

if [[ -f "$RESULTS" ]] && grep -q '<!-- compare.sh begin' "$RESULTS"; then
    awk -v table="$SCRATCH/table" '
        /<!-- compare.sh begin/ { while ((getline l < table) > 0) print l; skip = 1; next }
        /<!-- compare.sh end/ { skip = 0; next }
        !skip { print }
    ' "$RESULTS" >"$SCRATCH/results"
    cat "$SCRATCH/results" >"$RESULTS"
else
    { echo "# Whole-batch timings"; echo; cat "$SCRATCH/table"; } >"$RESULTS"
fi
echo "wrote $RESULTS" >&2
