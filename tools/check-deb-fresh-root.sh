#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the built .deb into a fresh Debian 12 root and checks it there, as on a
# machine that has never seen a build: apt pulls the runtime libraries from the
# package's Depends, the installed program converts the samples with no display,
# the desktop entry validates and the manual page renders.
#
#   tools/check-deb-fresh-root.sh [path/to/trevasco_*.deb] [root folder]
#
# Needs root, debootstrap and a reachable Debian mirror. Not run by CI.
# The root (default /tmp/fresh-root) is made with debootstrap when it is missing
# and is left in place for a look afterwards.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
deb=${1:-$(ls -t "$here"/build/*/trevasco_*.deb 2>/dev/null | head -n 1)}
root=${2:-/tmp/fresh-root}
# The machine's own Debian archive, as apt is configured here (deb822 .sources
# files or one-line entries); MIRROR overrides it.
configured_mirror() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '/^URIs:/ { uri = $2 } /^Suites:/ { if ($0 ~ / bookworm( |$)/) found = uri }
             /^$/ { uri = "" } END { if (found) print found }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' "$f"
    done
}
mirror=${MIRROR:-$(configured_mirror | head -n 1)}
[ -n "$mirror" ] || { echo "no Debian bookworm archive in /etc/apt; set MIRROR" >&2; exit 2; }

[ -n "$deb" ] && [ -f "$deb" ] || { echo "no .deb: build one with cmake --preset release && cpack" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "needs root (debootstrap, chroot)" >&2; exit 2; }

if [ ! -x "$root/usr/bin/apt-get" ]; then
    echo "== debootstrap bookworm $root"
    debootstrap --variant=minbase bookworm "$root" "$mirror"
fi

mounted=""
cleanup() { for m in $mounted; do umount "$m" 2>/dev/null || true; done; }
trap cleanup EXIT
for fs in proc dev/pts; do
    mkdir -p "$root/$fs"
    if ! mountpoint -q "$root/$fs"; then
        case $fs in
        proc) mount -t proc proc "$root/proc" ;;
        dev/pts) mount -t devpts devpts "$root/dev/pts" ;;
        esac
        mounted="$root/$fs $mounted"
    fi
done

rm -rf "$root/check"
mkdir -p "$root/check/out" "$root/check/samples"
cp "$deb" "$root/check/"
cp "$here"/samples/* "$root/check/samples/"

in_root() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

echo "== apt-get install ./$(basename "$deb")"
in_root apt-get update -qq
in_root sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q /check/$(basename "$deb")" |
    grep -E '^(Setting up|The following NEW|E:)' || true
in_root dpkg -s trevasco | grep -E '^(Status|Version|Depends):'

echo "== trevasco --version, then the samples to PNG unattended (DISPLAY unset)"
in_root trevasco --version
status=0
in_root sh -c 'unset DISPLAY WAYLAND_DISPLAY; cd /tmp &&
    trevasco /SRC=/check/samples /DST=/check/out /DSTFORMAT=png /LOGFILE=/check/out/run.log /EXECUTE' ||
    status=$?
echo "exit status $status"
ls -l "$root/check/out"
converted=$(ls "$root/check/out" | grep -c '\.png$' || true)
samples=$(ls "$root/check/samples" | wc -l)
echo "converted $converted of $samples samples"

echo "== desktop-file-validate and man"
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -q desktop-file-utils man-db >/dev/null'
in_root desktop-file-validate /usr/share/applications/trevasco.desktop && echo "desktop entry valid"
in_root sh -c 'MANWIDTH=80 man -P cat trevasco 2>&1' > "$root/check/man.txt"
head -n 12 "$root/check/man.txt"
echo "... $(wc -l < "$root/check/man.txt") lines"

[ "$status" = 0 ] && [ "$converted" = "$samples" ] && grep -q trevasco "$root/check/man.txt"
