#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times the unattended program with /THREADS=1, 2 and 0 (one per core) on
# whole-batch conversions and writes the table, with the peers' own default
# threading from PEERS.md beside it, into bench/RESULTS.md.
#
#   BENCH_DATA=/work/bench-data BUILD=build/release bash bench/parallel.sh [ids...]
#
# Ids as in compare.sh: jpg2png jpg2gif jpg2jpg gif2png (default: jpg2png jpg2gif).
# RUNS (default 3) runs per cell, median wall time; peak RSS is the largest of the runs.
# Only the part between the "parallel.sh" markers of RESULTS is rewritten.
set -euo pipefail
cd "$(dirname "$0")/.."
DATA="${BENCH_DATA:?set BENCH_DATA to the batch folder}"
BUILD="${BUILD:-build/release}"
PEERS_MD="${PEERS_MD:-../shared/bench/PEERS.md}"
RUNS="${RUNS:-3}"
OUT="${BENCH_OUT:-/dev/shm/trevasco-parallel}"
RESULTS="${RESULTS:-bench/RESULTS.md}"
PROG="$BUILD/src/trevasco"
export LC_ALL=C
unset OMP_NUM_THREADS MAGICK_THREAD_LIMIT VIPS_CONCURRENCY

[[ -x "$PROG" ]] || { echo "no program at $PROG (build it first)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time missing: apt-get install time" >&2; exit 1; }
CONVS=("$@")
[[ ${#CONVS[@]} -gt 0 ]] || CONVS=(jpg2png jpg2gif)
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH" "$OUT"' EXIT
printf '[Jpeg]\nCompression=80\n' >"$SCRATCH/q80.ini"

row_setup() {
    case $1 in
    jpg2png) echo "jpeg|*.jpg|png||JPEG → PNG (" ;;
    jpg2gif) echo "jpeg|*.jpg|gif||JPEG → GIF (" ;;
    jpg2jpg) echo "jpeg|*.jpg|jpg|/SETTINGS=$SCRATCH/q80.ini|JPEG → JPEG (" ;;
    gif2png) echo "gif|*.gif|png||GIF → PNG (" ;;
    *) echo "unknown conversion id $1" >&2; exit 2 ;;
    esac
}

# Median of a peer's "default (2)" row in the conversion's own section of PEERS.md.
peer_default() {
    awk -F'|' -v section="### $1" -v peer="$2" '
        index($0, section) == 1 { inside = 1; next }
        /^### / { inside = 0 }
        inside && index($2, peer) && $3 ~ /default/ { gsub(/ /, "", $4); print $4; exit }
    ' "$PEERS_MD"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
cores=$(nproc)
ROWS=()
for conv in "${CONVS[@]}"; do
    IFS='|' read -r dir mask fmt extra label <<<"$(row_setup "$conv")"
    section=$(grep -m1 -F "### ${label}" "$PEERS_MD" | sed 's/^### //')
    im=$(peer_default "$section" "ImageMagick")
    vips=$(peer_default "$section" "libvips (vips CLI")
    for threads in 1 2 0; do
        times=() cpus=() rss=0
        for ((run = 0; run < RUNS; ++run)); do
            rm -rf "$OUT" "$SCRATCH/config"
            mkdir -p "$OUT"
            args=("/SRC=$DATA/$dir" "/MASK=$mask" "/DST=$OUT" "/DSTFORMAT=$fmt" "/THREADS=$threads")
            [[ -n "$extra" ]] && args+=("$extra")
            start=$(date +%s.%N)
            env -u DISPLAY XDG_CONFIG_HOME="$SCRATCH/config" /usr/bin/time -f "%U %S %M" \
                -o "$SCRATCH/time" "$PROG" "${args[@]}" /EXECUTE
            end=$(date +%s.%N)
            read -r user sys kb <"$SCRATCH/time"
            times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
            cpus+=("$(awk -v a="$user" -v b="$sys" 'BEGIN { printf "%.2f", a + b }')")
            ((kb > rss)) && rss=$kb
        done
        wall=$(printf '%s\n' "${times[@]}" | median)
        cpu=$(printf '%s\n' "${cpus[@]}" | median)
        [[ $threads == 1 ]] && base=$wall
        name=$threads
        [[ $threads == 0 ]] && name="0 (= $cores)"
        speedup=$(awk -v a="$base" -v b="$wall" 'BEGIN { printf "%.2f", a / b }')
        vs_im=$(awk -v a="$im" -v b="$wall" 'BEGIN { if (a == "") print "—"; else printf "%.2f", a / b }')
        vs_vips=$(awk -v a="$vips" -v b="$wall" 'BEGIN { if (a == "") print "—"; else printf "%.2f", a / b }')
        ROWS+=("| $section | $name | **$wall** | $cpu | $((rss / 1024)) | $speedup | ${im:--} | $vs_im | ${vips:--} | $vs_vips |")
    done
done

block=$(mktemp)
{
    echo "<!-- parallel.sh begin: generated, rerun bench/parallel.sh instead of editing -->"
    echo "Measured $(date -u '+%Y-%m-%d %H:%M') UTC by \`bench/parallel.sh\`, commit $(git rev-parse --short HEAD),"
    echo "$RUNS runs a cell, $cores CPUs, load average at the start $(cut -d' ' -f1-3 /proc/loadavg)."
    echo "Peers: their default threading (\"default (2)\" rows of \`../shared/bench/PEERS.md\`), not re-timed."
    echo
    echo "| conversion | /THREADS= | median wall s | CPU s | peak RSS MiB | speed-up over 1 | ImageMagick default s | IM ÷ Trevasco | libvips default s | vips ÷ Trevasco |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    printf '%s\n' "${ROWS[@]}"
    echo "<!-- parallel.sh end -->"
} >"$block"
if grep -q "parallel.sh begin" "$RESULTS"; then
    awk -v blockfile="$block" '
        /parallel.sh begin/ { while ((getline line < blockfile) > 0) print line; skip = 1; next }
        /parallel.sh end/ { skip = 0; next }
        !skip { print }
    ' "$RESULTS" >"$RESULTS.new" && mv "$RESULTS.new" "$RESULTS"
else
    { echo; echo "## Parallel conversions"; echo; cat "$block"; } >>"$RESULTS"
fi
rm -f "$block"
cat "$RESULTS" | sed -n '/parallel.sh begin/,/parallel.sh end/p'
